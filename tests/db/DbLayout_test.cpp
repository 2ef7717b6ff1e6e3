// The stored layout of the four databases: files written by earlier builds
// must still open (the engine refuses a file whose layout text differs), and
// index keys must keep their bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "db/FlrDatabase.h"
#include "db/FlrLBFSHashDB.h"
#include "db/FlrLBFSTreeDB.h"
#include "db/FlrWrDatabase.h"
#include "platform/JxCoding.h"
#include "support/LmdbInspect.h"
#include "support/TestSupport.h"

namespace {

fsf_fid fidOf(uint64_t a, uint64_t b, uint64_t c) {
    uint64_t w[3] = {a, b, c};
    fsf_fid f;
    std::memcpy(f.bytes, w, sizeof w);
    return f;
}

std::string be64(uint64_t v) {
    char b[8];
    jx::storeBE64(b, v);
    return std::string(b, 8);
}

std::string layoutOf(const std::string& file) {
    return flrtest::lmdbValue(file, "meta", "layout");
}

// The layout texts as the declarations before the named index layouts wrote
// them, byte for byte.
struct Expected {
    const char* file;
    const char* layout;
};

TEST(DbLayout, StoredLayoutTextsAreUnchanged) {
    flrtest::TempDir dir;
    { FlrDatabase db(dir.path()); }
    { FlrWrDatabase db(dir.path()); }
    {
        FlrLBFSHashDB hash;
        ASSERT_TRUE(hash.initialize(dir.path()).IsSuccess());
        FlrLBFSTreeDB tree;
        ASSERT_TRUE(tree.initialize(dir.path()).IsSuccess());
    }
    const Expected expected[] = {
        {"zrpdb.dat",
         "record 1088/57 variable; fields fid0:0:239:8 fid1:8:239:8 fid2:16:239:8 "
         "parent_fid0:24:239:8 parent_fid1:32:239:8 parent_fid2:40:239:8 scan_seqnum:48:239:8 "
         "flags:56:16:1 sname:57:146:1024; indices fid:dup(0/8,1/8,2/8) "
         "parent_fid_and_sname:dup(3/8,4/8,5/8,8/56)"},
        {"zrpwrdb.dat",
         "record 48/48 fixed; fields ackid:0:239:8 fid0:8:239:8 fid1:16:239:8 fid2:24:239:8 "
         "start:32:239:8 end:40:239:8; indices fid_start:unique(1/8,2/8,3/8,4/8)"},
        {"FlrLBFSHashDB.dat",
         "record 56/56 fixed; fields dummy:0:41:2 size:2:41:2 fid:8:239:8 offset:16:239:8 "
         "hash:24:128:32; indices hash:dup(4/32) fid_offset:unique(2/8,3/8)"},
        {"FlrLBFSTreeDB.dat",
         "record 280/21 variable; fields fid:0:239:8 parent:8:239:8 time:16:59:4 flags:20:24:1 "
         "sname:21:146:256; indices fid:unique(0/8) parent_sname:dup(1/8,4/56)"},
    };
    for (const Expected& e : expected)
        EXPECT_EQ(e.layout, layoutOf(dir.path() + "/" + e.file)) << e.file;
}

TEST(DbLayout, NameDatabaseKeysKeepTheirBytes) {
    flrtest::TempDir dir;
    const fsf_fid root = fidOf(1, 2, 3), child = fidOf(0x0102030405060708ULL, 9, 10);
    {
        FlrDatabase db(dir.path());
        db.addRootNode(root);
        db.addNode(root, "name", child, FLR_FTYPE_FILE, 5);
    }
    const std::string file = dir.path() + "/zrpdb.dat";
    // fid index: the three words big-endian, then the record number.
    auto byFid = flrtest::lmdbEntries(file, "fid");
    ASSERT_EQ(2u, byFid.size());
    EXPECT_EQ(be64(1) + be64(2) + be64(3) + be64(1), byFid[0].first);
    EXPECT_EQ(be64(0x0102030405060708ULL) + be64(9) + be64(10) + be64(2), byFid[1].first);
    // name index: parent words, the name padded to 56 bytes, record number.
    auto byName = flrtest::lmdbEntries(file, "parent_fid_and_sname");
    ASSERT_EQ(2u, byName.size());
    std::string name("name");
    name.resize(56, '\0');
    EXPECT_EQ(be64(1) + be64(2) + be64(3) + name + be64(2), byName[1].first);
}

TEST(DbLayout, WriteDatabaseKeysKeepTheirBytes) {
    flrtest::TempDir dir;
    {
        FlrWrDatabase db(dir.path());
        db.add(fidOf(7, 8, 9), 4096, 8192);
    }
    auto entries = flrtest::lmdbEntries(dir.path() + "/zrpwrdb.dat", "fid_start");
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(be64(7) + be64(8) + be64(9) + be64(4096) + be64(1), entries[0].first);
}

}  // namespace
