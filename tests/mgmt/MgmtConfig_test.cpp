#include "mgmt/MgmtConfig.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

using flrtest::ScopedRegistry;

namespace {

// head (1) replicates to tail (2); set "web" with two pairs.
struct Fixture {
    ScopedRegistry reg;
    int head = MgmtConfig::addClient("head", "head.example.com");
    int tail = MgmtConfig::addClient("tail", "tail host:1");
    long set = MgmtConfig::addSet("web", head, tail);
    long pairA = MgmtConfig::addPair(set, "/srv/www/", "/rep/www");
    long pairB = MgmtConfig::addPair(set, "/srv/data", "/rep/data");
};

std::string thrown(const std::function<void()>& f) {
    try {
        f();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return "(nothing thrown)";
}

TEST(MgmtConfig, ReadersAnswerWhatWasConfigured) {
    Fixture f;
    std::string name, path;
    int client = 0;
    FileReplicationBackupSet set(f.set);
    ASSERT_EQ(0, set.getBackupSetName(name));
    EXPECT_EQ("web", name);
    ASSERT_EQ(0, set.getClientIdForBackupSet(client));
    EXPECT_EQ(f.head, client);
    ASSERT_EQ(0, set.getDestinationHostId(&client, nullptr));
    EXPECT_EQ(f.tail, client);

    long setId = 0;
    ASSERT_EQ(0, ApplicationId(2, f.pairB).getBackupSetId(setId));
    EXPECT_EQ(f.set, setId);
    EXPECT_NE(0, ApplicationId(2, 999).getBackupSetId(setId));
    EXPECT_NE(0, ApplicationId(1, f.pairB).getBackupSetId(setId));

    FileReplicationSubClient pair(f.pairA, nullptr, nullptr);
    ASSERT_EQ(0, pair.getsrcPath(&path, nullptr));
    EXPECT_EQ("/srv/www/", path);  // as configured; FlrPair strips the slash
    ASSERT_EQ(0, pair.getdestPath(&path, nullptr));
    EXPECT_EQ("/rep/www", path);

    JXClient byName("tail", JXClient::kShortName);
    ASSERT_EQ(0, byName.getClientId(client));
    EXPECT_EQ(f.tail, client);
    ASSERT_EQ(0, JXClient(f.tail).getNetworkHostnameMangled(name));
    EXPECT_EQ("tail_host_1", name);
    EXPECT_NE(0, JXClient("nobody", JXClient::kShortName).getClientId(client));
}

TEST(MgmtConfig, SubclientListsSelectPairsOrEverySubclient) {
    Fixture f;
    std::vector<long> ids;
    std::vector<std::string> names;
    std::vector<int> flags;
    ClientApplicationList list(f.head);
    ASSERT_EQ(0, list.getSubclientList(ids, names, flags, 84, JX_DEFAULT_INSTANCE_ID, f.set, 0, 4));
    ASSERT_EQ(3u, ids.size());
    int defaults = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        const bool isDefault = Subclient(ids[i]).isDefaultSubclient();
        EXPECT_EQ(isDefault, (flags[i] & JX_SUBCLIENT_FLAG_DEFAULT) != 0);
        defaults += isDefault;
    }
    EXPECT_EQ(1, defaults);

    ASSERT_EQ(0, ClientApplicationList().getSubclientList(ids, names, flags, 84, f.set, 0, 13));
    EXPECT_EQ((std::vector<long>{f.pairA, f.pairB}), ids);
    EXPECT_EQ("/srv/data", names[1]);
    // Wrong application, instance, selection, client or set: refused, not empty.
    EXPECT_NE(0, list.getSubclientList(ids, names, flags, 85, f.set, 0, 13));
    EXPECT_NE(0, list.getSubclientList(ids, names, flags, 84, 7, f.set, 0, 4));
    EXPECT_NE(0, list.getSubclientList(ids, names, flags, 84, f.set, 0, 5));
    EXPECT_NE(0,
              ClientApplicationList(f.tail).getSubclientList(ids, names, flags, 84, f.set, 0, 4));
    EXPECT_NE(0, list.getSubclientList(ids, names, flags, 84, f.set + 1, 0, 4));
}

TEST(MgmtConfig, FilterListsKeepOrderAndAwkwardCharacters) {
    Fixture f;
    const std::vector<std::string> odd = {"tmp", "/a|b/%7C", "*.o", "/x y/"};
    for (const std::string& s : odd) MgmtConfig::addFilter(f.set, JX_FILTER_EXCLUSIONS, s);
    MgmtConfig::addFilter(f.set, JX_FILTER_EXCEPTIONS, "/keep/**");
    EXPECT_EQ(odd, MgmtConfig::getFilters(f.set, 3));
    const long def = MgmtConfig::listSets()[0].defaultSubclient;
    std::vector<std::string> read;
    ASSERT_EQ(0, SubclientConf(def).getFilters(3, read));
    EXPECT_EQ(odd, read);
    ASSERT_EQ(0, SubclientConf(def).getFilters(2, read));
    EXPECT_EQ(std::vector<std::string>{"/keep/**"}, read);
    // A pair has no filters of its own.
    ASSERT_EQ(0, SubclientConf(f.pairA).getFilters(3, read));
    EXPECT_TRUE(read.empty());

    MgmtConfig::removeFilter(f.set, 3, "/a|b/%7C");
    EXPECT_EQ((std::vector<std::string>{"tmp", "*.o", "/x y/"}), MgmtConfig::getFilters(f.set, 3));
    EXPECT_NE(std::string::npos,
              thrown([&] { MgmtConfig::addFilter(f.set, 3, "tmp"); }).find("already"));
    EXPECT_NE(std::string::npos,
              thrown([&] { MgmtConfig::addFilter(f.set, 3, "/a/[bc"); }).find("unterminated"));
    EXPECT_NE(std::string::npos,
              thrown([&] { MgmtConfig::removeFilter(f.set, 2, "tmp"); }).find("no filter tmp"));
}

TEST(MgmtConfig, UpdateFiltersReplacesOnlyTheListItWasGiven) {
    Fixture f;
    const long def = MgmtConfig::listSets()[0].defaultSubclient;
    MgmtConfig::addFilter(f.set, 3, "old");
    ApplBackupContent content(def);
    EXPECT_EQ(0, content.updateFilters(3, {"old"}, {"new1", "new2"}));
    EXPECT_EQ((std::vector<std::string>{"new1", "new2"}), MgmtConfig::getFilters(f.set, 3));
    // Someone changed the list since it was read: the update is refused.
    EXPECT_NE(0, content.updateFilters(3, {"old"}, {"lost"}));
    EXPECT_EQ(0, content.updateFilters(3, {"new1", "new2"}, {}));
    EXPECT_TRUE(MgmtConfig::getFilters(f.set, 3).empty());
    EXPECT_NE(0, content.updateFilters(4, {}, {"x"}));
    BackupContent c;
    ASSERT_EQ(0, ApplBackupContent(f.pairB).getContent(c));
    EXPECT_EQ("/srv/data", c.srcPath);
    EXPECT_EQ("/rep/data", c.destPath);
}

TEST(MgmtConfig, RefusesInconsistentChangesWithAClearReason) {
    Fixture f;
    const struct {
        std::function<void()> change;
        const char* reason;
    } cases[] = {
        {[&] { MgmtConfig::addClient("head", ""); }, "Client name head is taken by client 1"},
        {[&] { MgmtConfig::addClient("", ""); }, "A client name must not be empty"},
        {[&] { MgmtConfig::addClient("x", "", f.head); }, "Client 1 exists already"},
        {[&] { MgmtConfig::addSet("web", f.head, f.tail); }, "Set name web is taken by set 1"},
        {[&] { MgmtConfig::addSet("other", f.head, 9); }, "No client 9"},
        {[&] { MgmtConfig::addPair(f.set, "relative", "/d"); },
         "The source folder must be an absolute path: relative"},
        {[&] { MgmtConfig::addPair(f.set, "/srv/data", "/d"); }, "replicates /srv/data already"},
        {[&] { MgmtConfig::addPair(f.set, "/new", "/d", f.pairA); }, "is taken by another pair"},
        {[&] { MgmtConfig::addPair(42, "/new", "/d"); }, "No set 42"},
        {[&] { MgmtConfig::removeClient(f.tail); }, "is used by set 1 (web); remove the set first"},
        {[&] { MgmtConfig::removeSet(f.set); }, "still has pairs 2, 3; remove them first"},
        {[&] { MgmtConfig::removePair(1); }, "No pair 1"},  // the default subclient
        {[&] { MgmtConfig::addFilter(f.set, 3, "a\nb"); }, "must not contain a line break"},
    };
    const std::string before = flrtest::readFile(f.reg.path());
    for (const auto& c : cases)
        EXPECT_NE(std::string::npos, thrown(c.change).find(c.reason)) << c.reason;
    // Nothing refused left a trace.
    EXPECT_EQ(before, flrtest::readFile(f.reg.path()));
}

TEST(MgmtConfig, RemovingEverythingLeavesNoReaderAnswering) {
    Fixture f;
    MgmtConfig::addFilter(f.set, 3, "tmp");
    const long def = MgmtConfig::listSets()[0].defaultSubclient;
    MgmtConfig::removePair(f.pairA);
    MgmtConfig::removePair(f.pairB);
    MgmtConfig::removeSet(f.set);
    MgmtConfig::removeClient(f.head);
    MgmtConfig::removeClient(f.tail);
    std::string s;
    int id = 0;
    std::vector<std::string> filters;
    EXPECT_NE(0, BackupSet(f.set).getBackupSetName(s));
    EXPECT_NE(0, FileReplicationSubClient(f.pairA).getsrcPath(&s));
    EXPECT_NE(0, SubclientConf(def).getFilters(3, filters));
    EXPECT_NE(0, JXClient(f.head).getShortName(s));
    EXPECT_EQ(0, JXClient("head", 1).getClientId(id) == 0);
    EXPECT_TRUE(MgmtConfig::listClients().empty());
    EXPECT_TRUE(MgmtConfig::listPairs().empty());
    // Freed ids are given out again.
    EXPECT_EQ(1, MgmtConfig::addClient("again", ""));
}

TEST(MgmtConfig, JobIdsAreStablePerPairAndNeverShared) {
    Fixture f;
    const unsigned long long a = MgmtConfig::jobIdForPair(f.pairA);
    const unsigned long long b = MgmtConfig::jobIdForPair(f.pairB);
    EXPECT_NE(0u, a);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, MgmtConfig::jobIdForPair(f.pairA));
    MgmtConfig::removePair(f.pairA);
    const long again = MgmtConfig::addPair(f.set, "/srv/www", "/rep/www");
    const unsigned long long c = MgmtConfig::jobIdForPair(again);
    EXPECT_TRUE(c != a && c != b) << "a removed pair's job number came back";
    EXPECT_EQ(0u, MgmtConfig::jobIdForPair(999));
}

TEST(MgmtConfig, ConcurrentProcessesAddingPairsLoseNone) {
    ScopedRegistry reg;
    const int head = MgmtConfig::addClient("head", "");
    const long set = MgmtConfig::addSet("s", head, head);
    const int perChild = flrtest::scaled(8);
    std::vector<int> status;
    // Forked children race read-modify-write of the pair list.
    auto body = [&](int child) {
        return [=] {
            for (int i = 0; i < perChild; ++i)
                MgmtConfig::addPair(set, "/c" + std::to_string(child) + "/" + std::to_string(i),
                                    "/d");
            return 0;
        };
    };
    std::vector<std::thread> runners;
    status.resize(3);
    for (int c = 0; c < 3; ++c)
        runners.emplace_back([&, c] { status[c] = flrtest::runInChild(body(c)); });
    for (auto& t : runners) t.join();
    for (int s : status) EXPECT_EQ(0, s);
    std::set<long> ids;
    for (const auto& p : MgmtConfig::listPairs(set)) ids.insert(p.id);
    EXPECT_EQ(size_t(3 * perChild), ids.size());
}

}  // namespace
