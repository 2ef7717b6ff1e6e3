#include "FLR/FlrNetJournal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "FLR/FlrJrnConvert.h"
#include "FLR/JxException.h"
#include "JournalTestUtil.h"
#include "support/TestSupport.h"

using namespace jrntest;

namespace {

template <class Fn>
std::string thrownMessage(Fn fn, const char* function) {
    try {
        fn();
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), function);
        EXPECT_EQ(e.getSource(), "FlrNetJournal");
        EXPECT_EQ(e.getCode(), -1);
        return e.getMessage();
    }
    return "no exception";
}

Bytes netHeader(uint8_t code, uint32_t len) {
    Bytes b;
    b.u8(code).u24(len).u64(42).u32(1700000000).u32(0x10005);
    return b;
}

TEST(FlrNetJournal, NoopAndRenameSizes) {
    const auto noop = encodeNet(netCmd(FLR_JRN_NOOP));
    EXPECT_EQ(noop, netHeader(FLR_JRN_NOOP, 20).vec());

    FlrJrnCommandNet r = netCmd(FLR_JRN_RENAME);
    r.rename.src_path = "ab";
    r.rename.dst_path = "cd";
    EXPECT_EQ(getNetCmdSize(&r), 26);
    EXPECT_EQ(encodeNet(r), netHeader(FLR_JRN_RENAME, 26).str("ab").str("cd").vec());
}

// The bodies that differ from the raw form, byte for byte.
TEST(FlrNetJournal, BodiesThatDifferFromTheRawForm) {
    FlrJrnCommandNet s = netCmd(FLR_JRN_SETATTR);
    s.setattr.path = "/p";
    s.setattr.mode_valid = 1;
    s.setattr.uid_valid = 2;
    s.setattr.gid_valid = 3;
    s.setattr.atime_valid = 4;
    s.setattr.mtime_valid = 5;
    s.setattr.size_valid = 6;
    s.setattr.mode = 0644;
    s.setattr.uid = 7;
    s.setattr.gid = 8;
    s.setattr.atime = {9, 10};
    s.setattr.mtime = {11, 12};
    s.setattr.size = 13;
    Bytes want = netHeader(FLR_JRN_SETATTR, 71 + 2);
    want.str("/p").u8(1).u8(2).u8(3).u8(4).u8(5).u8(6).u32(0644).u64(7).u64(8);
    want.u32(9).u32(10).u32(11).u32(12).u64(13);
    EXPECT_EQ(encodeNet(s), want.vec());

    FlrJrnCommandNet d = netCmd(FLR_JRN_RMDIR);
    d.rmdir.rmdir_flag = 0x101;  // one byte on the wire
    d.rmdir.path = "/d";
    EXPECT_EQ(encodeNet(d), netHeader(FLR_JRN_RMDIR, 24).u8(1).str("/d").vec());

    const char acl[3] = {1, 2, 3};
    FlrJrnCommandNet a = netCmd(FLR_JRN_SET_ACL);
    a.setacl.path = "/f";
    a.setacl.acl_word = 0xcafef00d;
    a.setacl.data_len = 3;
    a.setacl.data = acl;
    EXPECT_EQ(
        encodeNet(a),
        netHeader(FLR_JRN_SET_ACL, 29 + 2 + 3).str("/f").u32(0xcafef00d).u32(3).raw(acl, 3).vec());

    FlrJrnCommandNet r = netCmd(FLR_JRN_REMOVE);
    r.remove.path = "/gone";
    EXPECT_EQ(encodeNet(r), netHeader(FLR_JRN_REMOVE, 21 + 5).str("/gone").vec());
}

TEST(FlrNetJournal, SnapSetIdKeepsOnlyItsLowHalf) {
    FlrJrnCommandNet s = netCmd(FLR_JRN_SNAP);
    s.snap.job_id = 0x0102030405060708ULL;
    s.snap.job_token = "t";
    s.snap.set_id = 0x100000007ULL;
    const auto rec = encodeNet(s);
    EXPECT_EQ(rec, netHeader(FLR_JRN_SNAP, 34).u64(0x0102030405060708ULL).str("t").u32(7).vec());
    FlrJrnCommandNet back;
    decodeNetCmd(rec.data(), rec.size(), &back);
    EXPECT_EQ(back.snap.set_id, 7u);
    EXPECT_EQ(back.mask, 0x10005u) << "mask is 32 bits on the wire";
}

TEST(FlrNetJournal, CodesWithoutANetworkFormAreRefusedEverywhere) {
    for (uint32_t code : {3u, uint32_t{FLR_JRN_WRITE_DDR}, uint32_t{FLR_JRN_TXTMSG}, 24u}) {
        const std::string n = std::to_string(code);
        FlrJrnCommandNet c = netCmd(code);
        uint8_t buf[64] = {static_cast<uint8_t>(code), 0, 0, 20};
        EXPECT_EQ(thrownMessage([&] { getNetCmdSize(&c); }, "getNetCmdSize"),
                  "Can't compute size of unknown net journal command " + n);
        EXPECT_EQ(thrownMessage([&] { encodeNetCmd(&c, buf); }, "encodeNetCmd"),
                  "Can't encode unknown net journal command " + n);
        FlrJrnCommandNet out;
        EXPECT_EQ(thrownMessage([&] { decodeNetCmd(buf, &out); }, "decodeNetCmd"),
                  "Can't decode unknown net journal command " + n);
        char* grow = nullptr;
        int cap = 0;
        EXPECT_EQ(thrownMessage([&] { encodeNetCmd(&c, grow, cap); }, "getNetCmdSize"),
                  "Can't compute size of unknown net journal command " + n);
        EXPECT_EQ(grow, nullptr);
    }
}

TEST(FlrNetJournal, NullPointersThrowTheirMessages) {
    FlrJrnCommandNet c = netCmd(FLR_JRN_NOOP);
    FlrJrnHeaderNet h;
    uint8_t buf[32] = {};
    EXPECT_EQ(thrownMessage([&] { decodeNetHdr(nullptr, &h); }, "decodeNetHdr"),
              "NULL header or buffer pointer passed as input");
    EXPECT_EQ(thrownMessage([&] { decodeNetHdr(buf, nullptr); }, "decodeNetHdr"),
              "NULL header or buffer pointer passed as input");
    EXPECT_EQ(thrownMessage([&] { decodeNetCmd(nullptr, &c); }, "decodeNetCmd"),
              "NULL command or buffer pointer passed as input");
    EXPECT_EQ(thrownMessage([&] { decodeNetCmd(buf, 32, nullptr); }, "decodeNetCmd"),
              "NULL command or buffer pointer passed as input");
    EXPECT_EQ(thrownMessage([&] { getNetCmdSize(nullptr); }, "getNetCmdSize"),
              "NULL command pointer passed as input");
    EXPECT_EQ(thrownMessage([&] { encodeNetCmd(nullptr, buf); }, "encodeNetCmd"),
              "NULL command or buffer pointer passed as input");
    EXPECT_EQ(thrownMessage([&] { encodeNetCmd(&c, static_cast<void*>(nullptr)); }, "encodeNetCmd"),
              "NULL command or buffer pointer passed as input");
}

TEST(FlrNetJournal, HeaderDecodes) {
    const auto rec = netHeader(FLR_JRN_UNSTUB, 0x0a0b0c).vec();
    FlrJrnHeaderNet h;
    decodeNetHdr(rec.data(), &h);
    EXPECT_EQ(h.cmd, FLR_JRN_UNSTUB);
    EXPECT_EQ(h.rec_len, 0x0a0b0cu);
    EXPECT_EQ(h.seq_num, 42u);
    EXPECT_EQ(h.timestamp, 1700000000u);
    EXPECT_EQ(h.mask, 0x10005u);
}

TEST(FlrNetJournal, GrowableBufferRoundsUpAndNeverShrinks) {
    char* buf = nullptr;
    int cap = 0;
    FlrJrnCommandNet noop = netCmd(FLR_JRN_NOOP);
    EXPECT_EQ(encodeNetCmd(&noop, buf, cap), 20);
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(cap, 1024);

    std::string data(1500 - 34, 'd');
    FlrJrnCommandNet w = netCmd(FLR_JRN_WRITE);
    w.write.path = "/";
    w.write.size = static_cast<uint32_t>(data.size());
    w.write.data = data.data();
    EXPECT_EQ(encodeNetCmd(&w, buf, cap), 1500);
    EXPECT_EQ(cap, 2048);
    EXPECT_EQ(static_cast<uint8_t>(buf[0]), FLR_JRN_WRITE);
    char* const afterGrowth = buf;

    w.write.size = 100 - 34;
    EXPECT_EQ(encodeNetCmd(&w, buf, cap), 100);
    EXPECT_EQ(cap, 2048);
    EXPECT_EQ(buf, afterGrowth) << "a smaller record reuses the buffer";

    // Exactly 1024 stays 1024.
    std::free(buf);
    buf = nullptr;
    cap = 0;
    w.write.size = 1024 - 34;
    EXPECT_EQ(encodeNetCmd(&w, buf, cap), 1024);
    EXPECT_EQ(cap, 1024);
    std::free(buf);
}

TEST(FlrNetJournal, RecordTooLongForItsLengthFieldIsRefused) {
    FlrJrnCommandNet w = netCmd(FLR_JRN_WRITE);
    w.write.path = "/x";
    w.write.size = FLR_JRN_MAX_REC_LEN;
    EXPECT_EQ(thrownMessage([&] { getNetCmdSize(&w); }, "getNetCmdSize"),
              "Net journal record of 16777250 bytes exceeds the largest record length of "
              "16777215 bytes");
    uint8_t small[8];
    EXPECT_THROW(encodeNetCmd(&w, small), JxException);
}

TEST(FlrNetJournal, EveryCodeRoundTrips) {
    const char payload[7] = "abcdef";
    for (uint32_t code = 0; code <= FLR_JRN_RMXATTR_AIX; ++code) {
        if (!isNetJrnCode(code)) continue;
        SCOPED_TRACE(flrJrnCodeName(code));
        FlrJrnCommandNet c = netCmd(code);
        // Every string and payload pointer is laid over the same text; the
        // union members that do not use them ignore it.
        switch (code) {
            case FLR_JRN_SNAP:
                c.snap.job_id = 1;
                c.snap.job_token = "tok";
                c.snap.set_id = 9;
                break;
            case FLR_JRN_WRITE:
            case FLR_JRN_TWRITE:
                c.write.path = "/w";
                c.write.offset = 4096;
                c.write.size = 6;
                c.write.data = payload;
                break;
            case FLR_JRN_SET_ACL:
                c.setacl.path = "/a";
                c.setacl.acl_word = 1;
                c.setacl.data_len = 6;
                c.setacl.data = payload;
                break;
            case FLR_JRN_SETXATTR:
            case FLR_JRN_SETXATTR_AIX:
                c.setxattr.path = "/x";
                c.setxattr.flags = 1;
                c.setxattr.attr_name = "user.n";
                c.setxattr.attr_len = 6;
                c.setxattr.value = payload;
                break;
            case FLR_JRN_SYMLINK:
                c.symlink.src_name = "t";
                c.symlink.dst_path = "/l";
                c.symlink.uid = 3;
                c.symlink.gid = 4;
                break;
            case FLR_JRN_LINK:
            case FLR_JRN_RENAME:
                c.link.src_path = "/s";
                c.link.dst_path = "/d";
                break;
            case FLR_JRN_RMXATTR:
            case FLR_JRN_RMXATTR_AIX:
                c.rmxattr.path = "/r";
                c.rmxattr.attr_name = "user.n";
                break;
            case FLR_JRN_STUB:
                c.stub.path = "/s";
                c.stub.meta = "m=1";
                break;
            case FLR_JRN_RMDIR:
                c.rmdir.rmdir_flag = 1;
                c.rmdir.path = "/dir";
                break;
            case FLR_JRN_SETATTR:
                c.setattr.path = "/sa";
                c.setattr.size = 5;
                break;
            case FLR_JRN_CREATE:
            case FLR_JRN_MKDIR:
                c.create.path = "/c";
                c.create.mode = 0644;
                break;
            case FLR_JRN_EXT2_SETFLAGS:
                c.setflags.path = "/f";
                c.setflags.flags = 0x10;
                break;
            case FLR_JRN_FCLEAR:
                c.fclear.path = "/fc";
                c.fclear.offset = 1;
                c.fclear.length = 2;
                break;
            case FLR_JRN_REMOVE:
            case FLR_JRN_UNSTUB:
                c.remove.path = "/rm";
                break;
            default:
                break;
        }
        const auto rec = encodeNet(c);
        EXPECT_EQ(recLen(rec), rec.size());
        FlrJrnCommandNet back;
        decodeNetCmd(rec.data(), rec.size(), &back);
        EXPECT_EQ(back.cmd, code);
        EXPECT_EQ(getNetCmdSize(&back), static_cast<int>(rec.size()));
        EXPECT_EQ(encodeNet(back), rec);
    }
}

TEST(FlrNetJournal, DumpUsesTheRawLabelStyle) {
    FlrJrnCommandNet c = netCmd(FLR_JRN_RENAME);
    c.rename.src_path = "/a/b";
    c.rename.dst_path = "/a/c";
    std::vector<char> buf(1024);
    printNetCmd(buf.data(), buf.size(), &c);
    EXPECT_EQ(std::string(buf.data()),
              "cmd.............. FLR_JRN_RENAME\n"
              "timestamp........ 1700000000\n"
              "seq_num.......... 42\n"
              "mask............. 0x10005\n"
              "src_path......... /a/b\n"
              "dst_path......... /a/c");
    std::vector<char> tiny(10, 'Z');
    printNetCmd(tiny.data(), 5, &c);
    EXPECT_EQ(std::string(tiny.data()), "cmd.");
}

}  // namespace

namespace {

std::string netDump(const FlrJrnCommandNet& c) {
    std::vector<char> buf(16384);
    printNetCmd(buf.data(), buf.size(), &c);
    return buf.data();
}

// Where the two forms carry the same fields after the names, the bytes after
// the network form's leading paths (and SET_ACL's acl_word): strings to step
// over, then fixed bytes. -1 for bodies that differ throughout.
int sharedTailStart(uint32_t code, const std::vector<uint8_t>& wire) {
    struct Lead {
        uint32_t code;
        int strings;
        int fixed;
    };
    static const Lead kLeads[] = {
        {FLR_JRN_WRITE, 1, 0},   {FLR_JRN_TWRITE, 1, 0},      {FLR_JRN_CREATE, 1, 0},
        {FLR_JRN_MKDIR, 1, 0},   {FLR_JRN_SYMLINK, 2, 0},     {FLR_JRN_EXT2_SETFLAGS, 1, 0},
        {FLR_JRN_SET_ACL, 1, 4}, {FLR_JRN_SETXATTR, 1, 0},    {FLR_JRN_SETXATTR_AIX, 1, 0},
        {FLR_JRN_RMXATTR, 1, 0}, {FLR_JRN_RMXATTR_AIX, 1, 0}, {FLR_JRN_STUB, 1, 0},
        {FLR_JRN_FCLEAR, 1, 0},
    };
    for (const Lead& l : kLeads) {
        if (l.code != code) continue;
        size_t at = FLR_JRN_NET_HDR_SIZE;
        for (int i = 0; i < l.strings; ++i) {
            while (wire.at(at) != 0) ++at;
            ++at;
        }
        return static_cast<int>(at) + l.fixed;
    }
    return -1;
}

// Every code of the sample mix, table-driven by code: the raw bytes decode
// and encode back unchanged, and the converted network record encodes,
// decodes and encodes again unchanged, with every field where the converter
// put it (the dumps list them all).
TEST(FlrNetJournal, EverySampleRecordRoundTripsThroughBothForms) {
    struct Seen {
        size_t raw = 0;
        size_t net = 0;
    };
    std::vector<Seen> seen(FLR_JRN_MAX_CODE + 1);
    for (uint64_t seed : {11u, 12u, 13u}) {
        FlrFidPathMap paths;
        const auto records =
            sampleRecords(size_t(flrtest::scaled(400)), seed, FlrJrnSample::Mix::Full, &paths);
        FlrJrnConverter conv(paths);
        for (const auto& rec : records) {
            FlrJrnCommand raw;
            ASSERT_EQ(decodeRawCmd(rec.data(), rec.size(), &raw), 0);
            SCOPED_TRACE(flrJrnCodeName(raw.cmd));
            ASSERT_EQ(encodeRaw(raw), rec);
            ++seen[raw.cmd].raw;

            FlrJrnCommandNet net;
            if (conv.convert(raw, net) != FlrJrnConvResult::Ok) continue;
            const auto wire = encodeNet(net);
            FlrJrnCommandNet back;
            decodeNetCmd(wire.data(), wire.size(), &back);
            ASSERT_EQ(encodeNet(back), wire);
            // The numbers both forms carry sit in the same order in both.
            const int tail = sharedTailStart(raw.cmd, wire);
            if (tail >= 0) {
                const size_t n = wire.size() - size_t(tail);
                ASSERT_GE(rec.size(), n);
                EXPECT_TRUE(std::equal(wire.begin() + tail, wire.end(), rec.end() - long(n)));
            }
            if (net.cmd == FLR_JRN_SNAP) net.snap.set_id &= 0xFFFFFFFFu;  // 32 bits on the wire
            ASSERT_EQ(netDump(back), netDump(net));
            ++seen[raw.cmd].net;
        }
    }
    for (uint32_t code = 0; code <= FLR_JRN_MAX_CODE; ++code) {
        if (code == 3) continue;
        EXPECT_GT(seen[code].raw, 0u) << flrJrnCodeName(code);
        EXPECT_EQ(seen[code].net > 0, isNetJrnCode(code)) << flrJrnCodeName(code);
    }
}

}  // namespace
