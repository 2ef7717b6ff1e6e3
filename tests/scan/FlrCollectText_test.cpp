#include "scan/FlrCollectText.h"

#include <gtest/gtest.h>

namespace {

struct RoundTrip {
    std::string path;
    std::string escaped;
};

TEST(FlrCollectText, EscapedPathsAreOneLineAndReadBackUnchanged) {
    const RoundTrip cases[] = {
        {"/a/plain", "/a/plain"},
        {"/a/line\nfeed", "/a/line\\x0afeed"},
        {"/a/cr\rname", "/a/cr\\x0dname"},
        {"/a/back\\slash", "/a/back\\\\slash"},
        {"/a/\\x0a-literal", "/a/\\\\x0a-literal"},
        {"/a/\xff\xfe-bytes\t", "/a/\xff\xfe-bytes\t"},
        {"\\", "\\\\"},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.escaped);
        std::string e = FlrCollectText::escape(c.path);
        EXPECT_EQ(e, c.escaped);
        EXPECT_EQ(e.find('\n'), std::string::npos);
        EXPECT_EQ(FlrCollectText::unescape(e), c.path);
    }
}

TEST(FlrCollectText, UnknownSequencesAreKeptAsTheyStand) {
    const char* kept[] = {"\\x0A", "\\xAF", "\\q", "\\x0", "\\x", "end\\", "\\xg1"};
    for (const char* t : kept) EXPECT_EQ(FlrCollectText::unescape(t), t) << t;
    EXPECT_EQ(FlrCollectText::unescape("\\x41\\x0a"), "A\n");
}

}  // namespace
