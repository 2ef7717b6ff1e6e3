#include "scan/FlrFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "mgmt/MgmtConfig.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

using Strings = std::vector<std::string>;

struct FilterCase {
    Strings filters;
    Strings exceptions;
    const char* path;
    bool filteredOut;
};

TEST(FlrFilter, ExclusionsWinUnlessAnExceptionMatches) {
    const FilterCase cases[] = {
        {{"/**/tmp"}, {}, "/a/b/tmp", true},
        {{"/**/tmp"}, {}, "/a/b/tmpx", false},
        {{"/**/tmp"}, {}, "/a/b/tmp/", true},  // trailing "/" is dropped from the path
        {{"/**/tmp"}, {}, "/a/b/tmp\\", true},
        {{"/**/tmp/"}, {}, "/a/tmp", true},  // and from the pattern
        {{"tmp"}, {}, "/tmp", true},         // made absolute: "/tmp"
        {{"tmp"}, {}, "/a/tmp", false},
        {{"/"}, {}, "/", true},  // "/" itself is kept
        {{"/home/**"}, {"/home/*/important", "/home/*/important/**"}, "/home/u/x", true},
        {{"/home/**"}, {"/home/*/important", "/home/*/important/**"}, "/home/u/important", false},
        {{"/home/**"}, {"/home/*/important/**"}, "/home/u/important/deep/file", false},
        {{"/home/**"}, {"/home/*/important/**"}, "/homes/u", false},
        {{}, {"/**/keep"}, "/x/keep", false},
        {{"/a/*.o", "", "/b/*.o"}, {""}, "/b/m.o", true},  // empty entries are skipped
        {{"/**/cache"}, {"/**/cache"}, "/var/cache", false},
    };
    for (const FilterCase& c : cases) {
        FlrFilter f(c.filters, c.exceptions);
        EXPECT_EQ(c.filteredOut, f.isFilteredOut(c.path)) << c.path;
    }
    EXPECT_EQ(2u, FlrFilter({"/a/*.o", "", "/b/*.o"}, {""}).filterCount());
}

TEST(FlrFilter, APatternTheMatcherRefusesFailsTheWholeFilter) {
    EvDebugCapture log;
    try {
        FlrFilter f({"/ok/**", "data[0-9"}, {"/fine"});
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to initialize pattern matcher for [/data[0-9]", e.getMessage());
        EXPECT_EQ("FlrFilter", e.getFunction());
        EXPECT_EQ("FlrFilter", e.getSource());
    }
    // The matcher's own reason is in the log.
    EXPECT_TRUE(log.containsFragment("unterminated bracket expression"));
    EXPECT_THROW(FlrFilter({"/ok"}, {"/bad/**x"}), JxException);
}

// A set "web" of client head with filters configured the way a person would.
struct SetFixture {
    flrtest::ScopedRegistry reg;
    int head = MgmtConfig::addClient("head", "");
    long set = MgmtConfig::addSet("web", head, head);
};

TEST(FlrFilterConf, ReadsTheSetsListsAndMakesNamesMatchAtAnyDepth) {
    SetFixture f;
    MgmtConfig::addFilter(f.set, JX_FILTER_EXCLUSIONS, "tmp");
    MgmtConfig::addFilter(f.set, JX_FILTER_EXCLUSIONS, "/srv/cache/**");
    MgmtConfig::addFilter(f.set, JX_FILTER_EXCEPTIONS, "/srv/www/tmp");
    EvDebugCapture log;
    FlrFilterConf conf(int(f.set));
    EXPECT_TRUE(log.contains("Initializing filters for repset 1 (web)"));
    EXPECT_TRUE(log.contains("NODIRS: /**/tmp"));
    EXPECT_TRUE(log.contains("NODIRS: /srv/cache/**"));
    EXPECT_TRUE(log.contains("YESDIRS: /srv/www/tmp"));
    EXPECT_NE(0u, conf.getDefaultSubclientId());
    EXPECT_TRUE(conf.match("/tmp"));
    EXPECT_TRUE(conf.match("/a/b/c/tmp/"));
    EXPECT_FALSE(conf.match("/srv/www/tmp"));  // the exception
    EXPECT_TRUE(conf.match("/srv/cache/x/y"));
    EXPECT_FALSE(conf.match("/srv/cache"));
    EXPECT_FALSE(conf.match("/srv/www/index.html"));
}

TEST(FlrFilterConf, ExceptionsAloneFilterNothing) {
    SetFixture f;
    MgmtConfig::addFilter(f.set, JX_FILTER_EXCEPTIONS, "keep");
    FlrFilterConf conf(int(f.set));
    EXPECT_EQ(nullptr, conf.getFilter());
    EXPECT_FALSE(conf.match("/keep"));
    EXPECT_FALSE(conf.match("/anything"));
}

TEST(FlrFilterConf, UnknownSetIsRefusedBeforeAnythingElse) {
    SetFixture f;
    try {
        FlrFilterConf conf(9);
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to get replication options for set 9", e.getMessage());
        EXPECT_EQ("FlrFilterConf", e.getFunction());
    }
}

TEST(FlrFilterConf, ReplaceFiltersWritesTheListsAndUsesThemAsPatterns) {
    SetFixture f;
    MgmtConfig::addFilter(f.set, JX_FILTER_EXCLUSIONS, "old");
    FlrFilterConf conf(int(f.set));
    EvDebugCapture log;
    conf.replaceFilters({"tmp", "/var/**"}, {"/var/keep"});
    EXPECT_TRUE(log.contains("NODIRS: tmp"));
    EXPECT_TRUE(log.contains("YESDIRS: /var/keep"));
    EXPECT_FALSE(log.contains("Failed to update filters on the BN"));
    EXPECT_EQ((Strings{"tmp", "/var/**"}), MgmtConfig::getFilters(f.set, JX_FILTER_EXCLUSIONS));
    EXPECT_EQ((Strings{"/var/keep"}), MgmtConfig::getFilters(f.set, JX_FILTER_EXCEPTIONS));
    // In memory the new lists are patterns: "tmp" is only "/tmp" ...
    EXPECT_FALSE(conf.match("/old"));
    EXPECT_TRUE(conf.match("/tmp"));
    EXPECT_FALSE(conf.match("/a/tmp"));
    EXPECT_TRUE(conf.match("/var/x"));
    EXPECT_FALSE(conf.match("/var/keep"));
    // ... while a scan that reads them from the configuration again gets "/**/tmp".
    EXPECT_TRUE(FlrFilterConf(int(f.set)).match("/a/tmp"));
    // Empty exclusions drop the filter.
    conf.replaceFilters({}, {"/var/keep"});
    EXPECT_EQ(nullptr, conf.getFilter());
    EXPECT_TRUE(MgmtConfig::getFilters(f.set, JX_FILTER_EXCLUSIONS).empty());
}

TEST(FlrFilterConf, ReplaceFiltersReplacesListsChangedAfterConstruction) {
    SetFixture f;
    FlrFilterConf conf(int(f.set));
    // replaceFilters reads the lists itself, so a change after construction is
    // no conflict: the new lists replace it.
    MgmtConfig::addFilter(f.set, JX_FILTER_EXCLUSIONS, "meanwhile");
    conf.replaceFilters({"mine"}, {});
    EXPECT_EQ(Strings{"mine"}, MgmtConfig::getFilters(f.set, JX_FILTER_EXCLUSIONS));
}

TEST(FlrFilterConf, SetWithoutDefaultSubclientWorksWithoutFilters) {
    SetFixture f;
    MgmtConfig::addFilter(f.set, JX_FILTER_EXCLUSIONS, "tmp");
    // The management server lost the default subclient.
    ASSERT_EQ(0, JXPlatformInfo::setString("Management", "sSubclients", ""));
    EvDebugCapture log;
    FlrFilterConf conf(int(f.set));
    EXPECT_TRUE(log.contains("Couldn't find default subclient for repset web"));
    EXPECT_FALSE(conf.match("/tmp"));
    conf.replaceFilters({"x"}, {});
    EXPECT_TRUE(log.contains("Can't replace ZRP/DDR filters: no default subclient."));
    EXPECT_FALSE(conf.match("/x"));
}

// A set removal that died half-way left the old default subclient listed;
// a new set with the same number must get its own filters, not the orphan's.
TEST(FlrFilterConf, ANewSetDoesNotInheritAnOrphanedDefaultSubclient) {
    flrtest::ScopedRegistry reg;
    const int head = MgmtConfig::addClient("head", "");
    ASSERT_EQ(0, JXPlatformInfo::setString("Management/Subclient/1", "nSetId", "1"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Management/Subclient/1", "bDefault", "1"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Management/Subclient/1", "sNoDirs", "stale"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Management", "sSubclients", "1"));
    const long set = MgmtConfig::addSet("fresh", head, head, 1);
    MgmtConfig::addFilter(set, JX_FILTER_EXCLUSIONS, "tmp");
    FlrFilterConf conf{int(set)};
    EXPECT_TRUE(conf.match("/a/tmp"));
    EXPECT_FALSE(conf.match("/a/stale"));
}

}  // namespace
