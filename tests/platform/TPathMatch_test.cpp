#include "platform/TPathMatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct MatchCase {
    const char* pattern;
    const char* path;
    bool matches;
};

class PathMatchTable : public ::testing::TestWithParam<MatchCase> {};

TEST_P(PathMatchTable, MatchesAsTheGlobRulesSay) {
    const MatchCase& c = GetParam();
    TPathMatch m;
    m.setDelimiter('/');
    ASSERT_EQ(0, m.compile(c.pattern, 1, 0)) << m.lastError();
    EXPECT_EQ(c.matches, m.match(c.path) != 0) << c.pattern << " vs " << c.path;
}

const MatchCase kCases[] = {
    // literal levels and single-level wildcards
    {"/a/b", "/a/b", true},
    {"/a/b", "/a/b/c", false},
    {"/a/b", "/a", false},
    {"/a/b", "/a/bc", false},
    {"/a/*", "/a/x", true},
    {"/a/*", "/a/", true},
    {"/a/*", "/a/x/y", false},
    {"/*.o", "/main.o", true},
    {"/*.o", "/main.c", false},
    {"/*.o", "/dir/main.o", false},
    {"/a*b*c", "/aXXbYYc", true},
    {"/a*b*c", "/abcbc", true},
    {"/a*b*c", "/acb", false},
    {"/a?c", "/abc", true},
    {"/a?c", "/a/c", false},
    {"/a?c", "/ac", false},
    {"/*", "/", true},
    // bracket expressions
    {"/f[0-9]", "/f7", true},
    {"/f[0-9]", "/fa", false},
    {"/f[!0-9]", "/fa", true},
    {"/f[^0-9]", "/f5", false},
    {"/f[]]", "/f]", true},
    {"/f[!]]", "/fx", true},
    {"/f[a-]", "/f-", true},
    {"/f[\\]x]", "/f]", true},
    {"/a[!x]b", "/a/b", false},
    // escapes
    {"/a\\*b", "/a*b", true},
    {"/a\\*b", "/axb", false},
    {"/a\\?", "/a?", true},
    {"/a\\[b]", "/a[b]", true},
    // "**": zero or more levels, one or more at the end
    {"/**/tmp", "/tmp", true},
    {"/**/tmp", "/a/b/c/tmp", true},
    {"/**/tmp", "/a/b/tmpx", false},
    {"/**/tmp", "/a/tmp/b", false},
    {"/a/**", "/a", false},
    {"/a/**", "/a/b", true},
    {"/a/**", "/a/b/c", true},
    {"/a/**", "/ab/c", false},
    {"/a/**/b", "/a/b", true},
    {"/a/**/b", "/a/x/y/b", true},
    {"/a/**/b", "/a/x/y/c", false},
    {"/**/x/**/y/*.c", "/x/y/m.c", true},
    {"/**/x/**/y/*.c", "/p/x/q/r/y/m.c", true},
    {"/**/x/**/y/*.c", "/p/y/q/x/m.c", false},
    {"/**/a/b/**/a/c", "/a/b/a/b/a/c", true},
    {"/**/a/b/**/a/c", "/a/b/a/c/x", false},
    {"/**/**/**", "/a", true},
    {"**", "relative/path", true},
    {"**/x", "x", true},
    {"/**/*.tmp", "/var/cache/a.tmp", true},
    {"/**/*.tmp", "/var/cache/a.tmp/inner", false},
    // empty levels are levels: "//" has an empty one
    {"/a//b", "/a//b", true},
    {"/a/*/b", "/a//b", true},
    // non-UTF-8 and control bytes are plain bytes
    {"/\xff*", "/\xff\xfe", true},
    {"/a?b", "/a\nb", true},
};

INSTANTIATE_TEST_SUITE_P(Glob, PathMatchTable, ::testing::ValuesIn(kCases));

struct BadPattern {
    const char* pattern;
    const char* why;
};

TEST(PathMatch, RefusesMalformedPatternsWithTheReason) {
    const BadPattern bad[] = {
        {"", "empty pattern"},
        {"/a/[bc", "unterminated bracket expression"},
        {"/a/[]", "unterminated bracket expression"},
        {"/a/[!", "unterminated bracket expression"},
        {"/a/[z-a]", "reversed range"},
        {"/a/[a/b]", "cannot hold the delimiter"},
        {"/a\\", "trailing backslash"},
        {"/a\\/b", "the delimiter cannot be escaped"},
        {"/a**", "'**' must be a whole level"},
        {"/**b/c", "'**' must be a whole level"},
        {"/***/c", "'**' must be a whole level"},
    };
    for (const BadPattern& b : bad) {
        TPathMatch m;
        EXPECT_NE(0, m.compile(b.pattern, 1, 0)) << b.pattern;
        EXPECT_NE(std::string::npos, m.lastError().find(b.why))
            << b.pattern << ": " << m.lastError();
        EXPECT_NE(std::string::npos, m.lastError().find(std::string("[") + b.pattern + "]"));
        // A refused pattern matches nothing, not even what it almost says.
        EXPECT_EQ(0, m.match("/a"));
    }
}

TEST(PathMatch, CaseBlindMatchingFoldsLettersOnly) {
    TPathMatch m;
    ASSERT_EQ(0, m.compile("/Docs/*.TXT", 0, 0));
    EXPECT_TRUE(m.match("/docs/readme.txt"));
    EXPECT_TRUE(m.match("/DOCS/README.Txt"));
    ASSERT_EQ(0, m.compile("/f[A-C]", 0, 0));
    EXPECT_TRUE(m.match("/fb"));
    EXPECT_FALSE(m.match("/fd"));
    ASSERT_EQ(0, m.compile("/f[!a]", 0, 0));
    EXPECT_FALSE(m.match("/fA"));
    ASSERT_EQ(0, m.compile("/Docs", 1, 0));
    EXPECT_FALSE(m.match("/docs"));
}

TEST(PathMatch, MatchBelowAcceptsEveryPathUnderAMatch) {
    const MatchCase cases[] = {
        {"/a/b", "/a/b", true},        {"/a/b", "/a/b/c/d", true}, {"/a/b", "/a", false},
        {"/**/tmp", "/x/tmp/y", true}, {"/**/tmp", "/x/y", false}, {"/a/**", "/a/b/c", true},
        {"/a/**", "/a", false},        {"/*/c", "/b/c/d", true},
    };
    for (const MatchCase& c : cases) {
        TPathMatch m;
        ASSERT_EQ(0, m.compile(c.pattern, 1, 1));
        EXPECT_EQ(c.matches, m.match(c.path) != 0) << c.pattern << " vs " << c.path;
    }
}

TEST(PathMatch, OtherDelimiterSplitsLevelsThere) {
    TPathMatch m;
    m.setDelimiter('\\');
    ASSERT_EQ(0, m.compile("C:\\**\\*.tmp", 1, 0)) << m.lastError();
    EXPECT_TRUE(m.match("C:\\users\\x\\a.tmp"));
    EXPECT_TRUE(m.match("C:\\a/b.tmp"));  // '/' is an ordinary byte here
    // Changing the delimiter afterwards compiles the pattern again.
    TPathMatch n;
    ASSERT_EQ(0, n.compile("a:*", 1, 0));
    EXPECT_TRUE(n.match("a:b:c"));
    n.setDelimiter(':');
    EXPECT_FALSE(n.match("a:b:c"));
    EXPECT_TRUE(n.match("a:b"));
}

// Hostile input for a backtracking matcher: it must still answer, and
// correctly (the time is measured in bench_filter, not asserted here).
TEST(PathMatch, ManyGlobStarsAgainstADeepPathAnswerCorrectly) {
    std::string pattern;
    for (int i = 0; i < 40; ++i) pattern += "/**/a*";
    std::string deep;
    for (int i = 0; i < 400; ++i) deep += "/aaaaaaaa";
    TPathMatch m;
    ASSERT_EQ(0, m.compile(pattern + "/b", 1, 0));
    EXPECT_FALSE(m.match(deep));
    EXPECT_TRUE(m.match(deep + "/b"));
    ASSERT_EQ(0, m.compile("/*a*a*a*a*a*a*a*a*a*b", 1, 0));
    EXPECT_FALSE(m.match("/" + std::string(5000, 'a')));
    EXPECT_TRUE(m.match("/" + std::string(5000, 'a') + "b"));
}

}  // namespace
