// The descriptors a batch holds do not grow with its entries: under a low
// open-file limit a run of many small files in one folder is applied whole
// (a descriptor per batched entry ran out of them at any stock limit).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <string>

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

// 0 when every file arrived with nothing counted failed.
int applyManyUnderLowLimit(const std::string& root, int files, size_t batchEntries) {
    const struct rlimit low { kLowLimit, kLowLimit };
    if (::setrlimit(RLIMIT_NOFILE, &low) != 0) return 10;
    FlrTailApplier::Options o;
    o.batchEntries = batchEntries;
    Tail tail(root, o, true);
    {
        Head head(tail.port());
        for (int i = 0; i < files; ++i)
            head.sendFile("d/f" + std::to_string(i), "content " + std::to_string(i));
        head.sync();
    }
    for (int i = 0; i < 1000 && tail.service->stats().sessions > 0; ++i) ::usleep(10000);
    if (countRegular(root + "/d") != files) return 11;
    if (flrtest::readFile(root + "/d/f7") != "content 7") return 12;
    return tail.totals().failed == 0 ? 0 : 13;
}

TEST(TailDescriptors, ABatchLargerThanTheOpenFileLimitIsAppliedWhole) {
    struct Case {
        const char* name;
        int files;
        size_t batchEntries;
    };
    const Case cases[] = {
        {"stock batch", 600, 1024},
        {"batch of one", 40, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registry reg;
        flrtest::TempDir tmp;
        const std::string root = tmp.path() + "/root";
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        const int rc =
            runInChild([&] { return applyManyUnderLowLimit(root, c.files, c.batchEntries); }, 120);
        EXPECT_EQ(rc, 0);
    }
}

}  // namespace
