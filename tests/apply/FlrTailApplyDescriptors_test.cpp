// The descriptors a batch holds do not grow with its entries: under a low
// open-file limit a run of many small files in one folder is applied whole
// (a descriptor per batched entry ran out of them at any stock limit), also
// when several heads send at once (each session's batch kept a quarter of the
// limit: four heads used all of it).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "TailApplyFixture.h"
#include "service/TailChildFixture.h"

using namespace tailtest;

namespace {

constexpr rlim_t kLowLimit = 256;

int countRegular(const std::string& dir) {
    int n = 0;
    for (const auto& [name, v] : snapshot(dir))
        if (name.find('/') == std::string::npos) ++n;
    return n;
}

// 0 when every file arrived with nothing counted failed. Each head sends
// `files` files into its own folder, the heads taking turns file by file.
int applyManyUnderLowLimit(const std::string& root, int files, size_t batchEntries, int heads) {
    const struct rlimit low { kLowLimit, kLowLimit };
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return 10;
    FlrTailApplier::Options o;
    o.batchEntries = batchEntries;
    Tail tail(root, o, true);
    {
        std::vector<std::unique_ptr<Head>> sending;
        for (int h = 0; h < heads; ++h) sending.push_back(std::make_unique<Head>(tail.port()));
        for (int i = 0; i < files; ++i)
            for (int h = 0; h < heads; ++h)
                sending[static_cast<size_t>(h)]->sendFile(
                    "d" + std::to_string(h) + "/f" + std::to_string(i),
                    "content " + std::to_string(i));
        for (auto& head : sending) head->sync();
    }
    for (int i = 0; i < 1000 && tail.service->stats().sessions > 0; ++i) ::usleep(10000);
    for (int h = 0; h < heads; ++h)
        if (countRegular(root + "/d" + std::to_string(h)) != files) return 11;
    if (flrtest::readFile(root + "/d0/f7") != "content 7") return 12;
    return tail.totals().failed == 0 ? 0 : 13;
}

TEST(TailDescriptors, ABatchLargerThanTheOpenFileLimitIsAppliedWhole) {
    struct Case {
        const char* name;
        int files;
        size_t batchEntries;
        int heads;
    };
    const Case cases[] = {
        {"stock batch", 600, 1024, 1},
        {"batch of one", 40, 1, 1},
        {"six heads at once", 300, 1024, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registry reg;
        flrtest::TempDir tmp;
        const std::string root = tmp.path() + "/root";
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        const int rc = runInChild(
            [&] { return applyManyUnderLowLimit(root, c.files, c.batchEntries, c.heads); }, 120);
        EXPECT_EQ(rc, 0);
    }
}

}  // namespace
