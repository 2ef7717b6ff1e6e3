#include "transfer/FlrLBFSBlockCache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <list>
#include <string>

#include "digest/JxLBFS.h"
#include "support/TestSupport.h"

namespace {

using Blocks = std::list<JxLBFS::HashBlock>;

// A file old enough to be cached (its modification time an hour back).
struct stat makeSettledFile(const std::string& path, size_t size, char fill) {
    flrtest::writeFile(path, std::string(size, fill));
    const timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 3600, 0}};
    EXPECT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    struct stat st {};
    EXPECT_EQ(0, stat(path.c_str(), &st));
    return st;
}

Blocks cut(const std::string& path) {
    Blocks blocks;
    EXPECT_TRUE(JxLBFS::split(path, blocks).IsSuccess());
    return blocks;
}

bool sameBlocks(const Blocks& a, const Blocks& b) {
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y)
        if (x->block.offset != y->block.offset || x->block.length != y->block.length ||
            std::memcmp(x->hash, y->hash, sizeof x->hash) != 0)
            return false;
    return true;
}

TEST(LBFSBlockCache, AnUnchangedFileIsFoundAfterASaveAndARenameAChangedOneIsNot) {
    flrtest::TempDir dir;
    const std::string a = dir.file("a"), cacheFile = dir.file("cache");
    const struct stat st = makeSettledFile(a, 100000, 'x');
    const Blocks blocks = cut(a);
    {
        FlrLBFSBlockCache cache(cacheFile);
        cache.insert(st, st, a, blocks);
        cache.save();
    }
    ASSERT_EQ(0, rename(a.c_str(), dir.file("b").c_str()));
    FlrLBFSBlockCache cache(cacheFile);
    Blocks found;
    ASSERT_TRUE(cache.lookup(FlrLBFSBlockCache::keyOf(st), dir.file("b"), &found));
    EXPECT_TRUE(sameBlocks(blocks, found));
    // Any part of the identity differing misses.
    for (auto change : {+[](FlrLBFSBlockCache::Key& k) { k.size += 1; },
                        +[](FlrLBFSBlockCache::Key& k) { k.mtimeNs += 1; },
                        +[](FlrLBFSBlockCache::Key& k) { k.ino += 1; }}) {
        FlrLBFSBlockCache::Key k = FlrLBFSBlockCache::keyOf(st);
        change(k);
        EXPECT_FALSE(cache.lookup(k, dir.file("b"), &found));
    }
}

TEST(LBFSBlockCache, AFileChangedWhileCutOrJustWrittenIsNotCached) {
    flrtest::TempDir dir;
    const std::string a = dir.file("a");
    const struct stat st = makeSettledFile(a, 50000, 'y');
    FlrLBFSBlockCache cache("");
    struct stat later = st;
    later.st_mtim.tv_nsec += 1;
    cache.insert(st, later, a, cut(a));
    struct stat fresh {};
    flrtest::writeFile(dir.file("fresh"), std::string(50000, 'y'));
    ASSERT_EQ(0, stat(dir.file("fresh").c_str(), &fresh));
    cache.insert(fresh, fresh, dir.file("fresh"), cut(dir.file("fresh")));
    EXPECT_EQ(0u, cache.entries());
    // A list that does not cover the file is refused too.
    Blocks shorter = cut(a);
    shorter.pop_back();
    cache.insert(st, st, a, shorter);
    EXPECT_EQ(0u, cache.entries());
}

TEST(LBFSBlockCache, SaveDropsVanishedFilesAndBoundsTheSizeByLastUse) {
    flrtest::TempDir dir;
    const std::string cacheFile = dir.file("cache");
    struct stat st[3];
    for (int i = 0; i < 3; ++i)
        st[i] = makeSettledFile(dir.file("f" + std::to_string(i)), 40000, char('a' + i));
    {
        FlrLBFSBlockCache cache(cacheFile);
        for (int i = 0; i < 3; ++i) {
            const std::string p = dir.file("f" + std::to_string(i));
            cache.insert(st[i], st[i], p, cut(p));
        }
        cache.save();
    }
    ASSERT_EQ(0, unlink(dir.file("f0").c_str()));
    {
        FlrLBFSBlockCache cache(cacheFile);
        Blocks found;
        ASSERT_TRUE(cache.lookup(FlrLBFSBlockCache::keyOf(st[2]), dir.file("f2"), &found));
        cache.save();  // f0 is gone; f1 unused but unchanged; f2 used
        EXPECT_EQ(2u, cache.entries());
    }
    const size_t perFile = cut(dir.file("f1")).size();
    FlrLBFSBlockCache cache(cacheFile, perFile);  // room for one file: the last used
    cache.save();
    FlrLBFSBlockCache reread(cacheFile);
    Blocks found;
    EXPECT_TRUE(reread.lookup(FlrLBFSBlockCache::keyOf(st[2]), dir.file("f2"), &found));
    EXPECT_FALSE(reread.lookup(FlrLBFSBlockCache::keyOf(st[1]), dir.file("f1"), &found));
}

TEST(LBFSBlockCache, ADamagedFileCountsAsEmpty) {
    flrtest::TempDir dir;
    const std::string a = dir.file("a"), cacheFile = dir.file("cache");
    const struct stat st = makeSettledFile(a, 30000, 'z');
    {
        FlrLBFSBlockCache cache(cacheFile);
        cache.insert(st, st, a, cut(a));
        cache.save();
    }
    const std::string good = flrtest::readFile(cacheFile);
    std::string flipped = good;
    flipped[good.size() / 2] ^= 1;
    // A cache that cannot be written is logged, not thrown: only speed depends on it.
    FlrLBFSBlockCache unwritable(dir.file("no/such/folder/cache"));
    EXPECT_FALSE(unwritable.save());
    for (const std::string& bad :
         {flipped, good.substr(0, good.size() - 1), std::string("FLRLBC1\n")}) {
        flrtest::writeFile(cacheFile, bad);
        FlrLBFSBlockCache cache(cacheFile);
        EXPECT_EQ(0u, cache.entries());
    }
}

}  // namespace
