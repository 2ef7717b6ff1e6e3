// A resend (the watch's path for large written files) reads only beneath the
// source: a folder swapped for a link to a root-only place sends nothing from
// there; the entry is left to the next pass (the journal records the swap) and
// the rest is sent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "FLR/platform/JxException.h"
#include "FLR/service/FlrReplicator.h"
#include "support/TestSupport.h"

namespace {

using flrtest::writeFile;

TEST(FlrReplicatorConfine, ResendThroughALinkedFolderSendsNothingFromThere) {
    for (const char* method : {"full", "lbfs"}) {
        SCOPED_TRACE(method);
        flrtest::ScopedRegistry registry;
        flrtest::TempDir dir;
        const std::string src = dir.file("src"), dst = dir.file("dst");
        const std::string secret = dir.file("private");
        ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(secret.c_str(), 0700));
        writeFile(secret + "/shadow", std::string(5000, 's'));
        ::chmod((secret + "/shadow").c_str(), 0600);
        writeFile(src + "/kept", std::string(5000, 'k'));
        ASSERT_EQ(0, ::symlink(secret.c_str(), (src + "/user").c_str()));
        FlrReplicateOptions o;
        o.source = src;
        o.target = dst;
        o.method = method;
        o.stateRoot = dir.file("state");
        EXPECT_NO_THROW(FlrReplicator(o).sendFiles({"kept", "user/shadow"}));
        struct stat st {};
        EXPECT_NE(0, ::lstat((dst + "/user/shadow").c_str(), &st));
        EXPECT_EQ(0, ::lstat((dst + "/kept").c_str(), &st));
    }
}

}  // namespace
