#include "FLR/FlrRawJournal.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "JournalTestUtil.h"

using namespace jrntest;

namespace {

FlrJrnCommand sampleCreate() {
    FlrJrnCommand c = rawCmd(FLR_JRN_CREATE);
    c.create.par_fid = fidOf(0x01);
    c.create.fid = fidOf(0x02);
    c.create.short_name = "a.txt";
    c.create.mode = 0100644;
    c.create.uid = 1000;
    c.create.gid = 100;
    c.create.atime = {1, 2};
    c.create.mtime = {3, 4};
    c.create.rdev = 0;
    return c;
}

Bytes rawHeader(uint8_t code, uint32_t len) {
    Bytes b;
    b.u8(code).u24(len).u64(0x803).u64(42).u32(1700000000).u16(5);
    return b;
}

TEST(FlrRawJournal, CreateEncodesByteForByte) {
    Bytes want = rawHeader(FLR_JRN_CREATE, 124);
    want.fid(fidOf(1)).fid(fidOf(2)).str("a.txt").u32(0100644).u64(1000).u64(100);
    want.u32(1).u32(2).u32(3).u32(4).u64(0);
    const FlrJrnCommand c = sampleCreate();
    EXPECT_EQ(getRawCmdSize(&c), 124);
    EXPECT_EQ(encodeRaw(c), want.vec());
}

TEST(FlrRawJournal, SetattrKeepsItsFixedOffsets) {
    FlrJrnCommand c = rawCmd(FLR_JRN_SETATTR);
    c.setattr.fid = fidOf(7);
    c.setattr.mode_valid = 1;
    c.setattr.uid_valid = 2;
    c.setattr.gid_valid = 3;
    c.setattr.atime_valid = 4;
    c.setattr.mtime_valid = 5;
    c.setattr.ctime_valid = 6;
    c.setattr.size_valid = 7;
    c.setattr.blocks_valid = 8;
    c.setattr.mode = 0755;
    c.setattr.size = 0x1122334455667788ULL;
    c.setattr.blocks = 9;
    const auto rec = encodeRaw(c);
    ASSERT_EQ(rec.size(), 118u);
    EXPECT_EQ(recLen(rec), 118u);
    EXPECT_EQ(rec[26], 7);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(rec[50 + i], i + 1);
    EXPECT_EQ(rec[61], 0xed);  // 0755 at 58..61
    EXPECT_EQ(rec[118 - 16], 0x11);
    EXPECT_EQ(rec[117], 9);
}

// The sizes the layout table gives, for strings of length n=3 and m=5 and
// payloads of 10 bytes.
TEST(FlrRawJournal, EverySizeFollowsTheLayout) {
    struct Case {
        uint32_t code;
        int size;
    };
    const Case cases[] = {
        {FLR_JRN_NOOP, 26},
        {FLR_JRN_SNAP, 43 + 3},
        {FLR_JRN_SETATTR, 118},
        {FLR_JRN_WRITE, 62 + 10},
        {FLR_JRN_TWRITE, 62 + 10},
        {FLR_JRN_CREATE, 119 + 3},
        {FLR_JRN_MKDIR, 111 + 3},
        {FLR_JRN_REMOVE, 79 + 3},
        {FLR_JRN_RMDIR, 75 + 3},
        {FLR_JRN_LINK, 75 + 3},
        {FLR_JRN_SYMLINK, 92 + 3 + 5},
        {FLR_JRN_RENAME, 125 + 3 + 5},
        {FLR_JRN_EXT2_SETFLAGS, 54},
        {FLR_JRN_SET_ACL, 54 + 10},
        {FLR_JRN_SETXATTR, 59 + 3 + 10},
        {FLR_JRN_RMXATTR, 51 + 3},
        {FLR_JRN_STUB, 51 + 3},
        {FLR_JRN_UNSTUB, 50},
        {FLR_JRN_WRITE_DDR, 62},
        {FLR_JRN_FCLEAR, 66},
        {FLR_JRN_SETXATTR_AIX, 59 + 3 + 10},
        {FLR_JRN_RMXATTR_AIX, 51 + 3},
        {FLR_JRN_TXTMSG, 27 + 3},
    };
    const char payload[10] = {};
    for (const Case& k : cases) {
        FlrJrnCommand c = rawCmd(k.code);
        switch (k.code) {
            case FLR_JRN_SNAP:
                c.snap.job_token = "abc";
                break;
            case FLR_JRN_WRITE:
            case FLR_JRN_TWRITE:
            case FLR_JRN_WRITE_DDR:
                c.write.size = 10;
                c.write.data = payload;
                break;
            case FLR_JRN_CREATE:
            case FLR_JRN_MKDIR:
                c.create.short_name = "abc";
                break;
            case FLR_JRN_REMOVE:
                c.remove.short_name = "abc";
                break;
            case FLR_JRN_RMDIR:
                c.rmdir.short_name = "abc";
                break;
            case FLR_JRN_LINK:
                c.link.dst_short_name = "abc";
                break;
            case FLR_JRN_SYMLINK:
                c.symlink.src_name = "abc";
                c.symlink.dst_short_name = "defgh";
                break;
            case FLR_JRN_RENAME:
                c.rename.src_short_name = "abc";
                c.rename.dst_short_name = "defgh";
                break;
            case FLR_JRN_SET_ACL:
                c.setacl.data_len = 10;
                c.setacl.data = payload;
                break;
            case FLR_JRN_SETXATTR:
            case FLR_JRN_SETXATTR_AIX:
                c.setxattr.attr_name = "abc";
                c.setxattr.attr_len = 10;
                c.setxattr.value = payload;
                break;
            case FLR_JRN_RMXATTR:
            case FLR_JRN_RMXATTR_AIX:
                c.rmxattr.attr_name = "abc";
                break;
            case FLR_JRN_STUB:
                c.stub.meta = "abc";
                break;
            case FLR_JRN_TXTMSG:
                c.txtmsg.msg = "abc";
                break;
            default:
                break;
        }
        SCOPED_TRACE(flrJrnCodeName(k.code));
        EXPECT_EQ(getRawCmdSize(&c), k.size);
        const auto rec = encodeRaw(c);
        EXPECT_EQ(recLen(rec), static_cast<uint32_t>(k.size));
        FlrJrnCommand back;
        ASSERT_EQ(decodeRawCmd(rec.data(), rec.size(), &back), 0);
        EXPECT_EQ(encodeRaw(back), rec);
    }
}

TEST(FlrRawJournal, NoopAndEmptyTextMessageAreMinimal) {
    FlrJrnCommand noop = rawCmd(FLR_JRN_NOOP);
    const auto rec = encodeRaw(noop);
    ASSERT_EQ(rec.size(), 26u);
    EXPECT_EQ(recLen(rec), 26u);
    FlrJrnCommand back;
    back.noop.reserved = 0xff;
    ASSERT_EQ(decodeRawCmd(rec.data(), &back), 0);
    EXPECT_EQ(back.noop.reserved, 0);

    FlrJrnCommand msg = rawCmd(FLR_JRN_TXTMSG);
    msg.txtmsg.msg = "";
    const auto m = encodeRaw(msg);
    ASSERT_EQ(m.size(), 27u);
    EXPECT_EQ(m.back(), 0);
}

TEST(FlrRawJournal, UnassignedAndUnknownCodesGiveABareHeader) {
    for (uint32_t code : {3u, 24u, 200u}) {
        FlrJrnCommand c = rawCmd(code);
        EXPECT_EQ(getRawCmdSize(&c), 0);
        uint8_t buf[64];
        std::memset(buf, 0xee, sizeof buf);
        EXPECT_EQ(encodeRawCmd(&c, buf), 0);
        EXPECT_EQ(buf[0], static_cast<uint8_t>(code));
        EXPECT_EQ(buf[3], 26);
        EXPECT_EQ(buf[26], 0xee) << "nothing past the header";
        FlrJrnCommand back;
        EXPECT_EQ(decodeRawCmd(buf, &back), -1);
    }
}

TEST(FlrRawJournal, RecordLengthIsTwentyFourBits) {
    std::vector<char> payload(70000 - 62, 'x');
    FlrJrnCommand c = rawCmd(FLR_JRN_WRITE);
    c.write.size = static_cast<uint32_t>(payload.size());
    c.write.data = payload.data();
    const auto rec = encodeRaw(c);
    ASSERT_EQ(rec.size(), 70000u);
    EXPECT_EQ(rec[1], 0x01);
    EXPECT_EQ(rec[2], 0x11);
    EXPECT_EQ(rec[3], 0x70);
    FlrJrnHeader hdr;
    decodeRawHdr(rec.data(), &hdr);
    EXPECT_EQ(hdr.rec_len, 70000u);
    EXPECT_EQ(hdr.cmd, FLR_JRN_WRITE);
}

TEST(FlrRawJournal, RecordTooLongForItsLengthFieldIsRefused) {
    FlrJrnCommand c = rawCmd(FLR_JRN_WRITE);
    c.write.size = FLR_JRN_MAX_REC_LEN;  // 62 more than rec_len can hold
    EXPECT_EQ(getRawCmdSize(&c), 0);
    uint8_t small[8] = {};
    EXPECT_EQ(encodeRawCmd(&c, small), -1);
    c.write.size = FLR_JRN_MAX_REC_LEN - 62;
    EXPECT_EQ(getRawCmdSize(&c), static_cast<int>(FLR_JRN_MAX_REC_LEN));
}

TEST(FlrRawJournal, HeaderRoundTripAndNullPointers) {
    FlrJrnHeader h{FLR_JRN_RENAME, 0x123456, 0x0102030405060708ULL, 99, 0xdeadbeef, 0xabcd};
    uint8_t buf[26];
    encodeRawHdr(&h, buf);
    EXPECT_EQ(Bytes()
                  .u8(11)
                  .u24(0x123456)
                  .u64(0x0102030405060708ULL)
                  .u64(99)
                  .u32(0xdeadbeef)
                  .u16(0xabcd)
                  .vec(),
              std::vector<uint8_t>(buf, buf + 26));
    FlrJrnHeader back{};
    decodeRawHdr(buf, &back);
    EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);

    decodeRawHdr(nullptr, &back);  // ignored
    decodeRawHdr(buf, nullptr);
    FlrJrnCommand c = rawCmd(FLR_JRN_NOOP);
    EXPECT_EQ(decodeRawCmd(nullptr, &c), -1);
    EXPECT_EQ(decodeRawCmd(buf, nullptr), -1);
    EXPECT_EQ(encodeRawCmd(nullptr, buf), -1);
    EXPECT_EQ(encodeRawCmd(&c, nullptr), -1);
    EXPECT_EQ(getRawCmdSize(nullptr), 0);
}

TEST(FlrRawJournal, NarrowFieldsKeepTheirLowBitsAndWidenOnDecoding) {
    FlrJrnCommand c = rawCmd(FLR_JRN_RENAME);
    c.mask = 0x1abcd;
    c.timestamp = -1;
    c.rename.src_short_name = "a";
    c.rename.dst_short_name = "b";
    c.rename.dst_fid_valid = 0x1ff;
    const auto rec = encodeRaw(c);
    EXPECT_EQ(rec[24], 0xab);
    EXPECT_EQ(rec[25], 0xcd);
    FlrJrnCommand back;
    ASSERT_EQ(decodeRawCmd(rec.data(), rec.size(), &back), 0);
    EXPECT_EQ(back.mask, 0xabcd);
    EXPECT_EQ(back.timestamp, -1);
    EXPECT_EQ(back.rename.dst_fid_valid, 0xff);

    FlrJrnCommand m = rawCmd(FLR_JRN_MKDIR);
    m.mkdir.short_name = "d";
    m.mkdir.atime = {-1, 0x1'0000'0002LL};
    const auto mrec = encodeRaw(m);
    ASSERT_EQ(decodeRawCmd(mrec.data(), mrec.size(), &back), 0);
    EXPECT_EQ(back.mkdir.atime.sec, 0xffffffffLL) << "zero-extended";
    EXPECT_EQ(back.mkdir.atime.sub, 2);
}

TEST(FlrRawJournal, RenameWithoutValidTargetStillCarriesIt) {
    FlrJrnCommand c = rawCmd(FLR_JRN_RENAME);
    c.rename.src_fid = fidOf(1);
    c.rename.src_par_fid = fidOf(2);
    c.rename.src_short_name = "old";
    c.rename.dst_fid_valid = 0;
    c.rename.dst_fid = fidOf(3);
    c.rename.dst_par_fid = fidOf(4);
    c.rename.dst_short_name = "newer";
    Bytes want = rawHeader(FLR_JRN_RENAME, 125 + 3 + 5);
    want.fid(fidOf(1)).fid(fidOf(2)).str("old").u8(0).fid(fidOf(3)).fid(fidOf(4)).str("newer");
    EXPECT_EQ(encodeRaw(c), want.vec());
}

struct CopyLog {
    int calls = 0;
    int lastLen = -1;
    const void* lastSrc = nullptr;
    uint8_t* lastDst = nullptr;
};

int loggingCopy(void* dst, const void* src, int len, void* ctx) {
    auto* log = static_cast<CopyLog*>(ctx);
    ++log->calls;
    log->lastLen = len;
    log->lastSrc = src;
    log->lastDst = static_cast<uint8_t*>(dst);
    std::memset(dst, 'C', static_cast<size_t>(len));
    return 77;
}

TEST(FlrRawJournal, CopyCallbackMovesBulkPayloads) {
    const char data[6] = "hello";
    for (uint32_t code :
         {FLR_JRN_WRITE, FLR_JRN_TWRITE, FLR_JRN_SET_ACL, FLR_JRN_SETXATTR, FLR_JRN_SETXATTR_AIX}) {
        SCOPED_TRACE(flrJrnCodeName(code));
        FlrJrnCommand c = rawCmd(code);
        size_t payloadAt = 62;
        if (code == FLR_JRN_SET_ACL) {
            c.setacl.data_len = 5;
            c.setacl.data = data;
            payloadAt = 54;
        } else if (code == FLR_JRN_SETXATTR || code == FLR_JRN_SETXATTR_AIX) {
            c.setxattr.attr_name = "user.a";
            c.setxattr.attr_len = 5;
            c.setxattr.value = data;
            payloadAt = 59 + 6;
        } else {
            c.write.size = 5;
            c.write.data = data;
        }
        std::vector<uint8_t> buf(static_cast<size_t>(getRawCmdSize(&c)));
        CopyLog log;
        const int rc = __encodeRawCmd(&c, buf.data(), loggingCopy, &log);
        EXPECT_EQ(recLen(buf), buf.size());
        if (code == FLR_JRN_SETXATTR_AIX) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(log.calls, 0);
            EXPECT_EQ(std::memcmp(buf.data() + payloadAt, "hello", 5), 0);
        } else {
            EXPECT_EQ(rc, 77);
            EXPECT_EQ(log.calls, 1);
            EXPECT_EQ(log.lastLen, 5);
            EXPECT_EQ(log.lastSrc, data);
            EXPECT_EQ(log.lastDst, buf.data() + payloadAt);
            EXPECT_EQ(std::memcmp(buf.data() + payloadAt, "CCCCC", 5), 0);
        }
    }
}

TEST(FlrRawJournal, CopyCallbackResultDoesNotShortenTheRecord) {
    const char data[4] = {1, 2, 3, 4};
    FlrJrnCommand c = rawCmd(FLR_JRN_WRITE);
    c.write.size = 4;
    c.write.data = data;
    std::vector<uint8_t> buf(66, 0);
    auto failing = [](void*, const void*, int, void*) { return -5; };
    EXPECT_EQ(__encodeRawCmd(&c, buf.data(), failing, nullptr), -5);
    EXPECT_EQ(recLen(buf), 66u);
}

TEST(FlrRawJournal, EverySampleRecordRoundTrips) {
    std::set<uint32_t> seen;
    for (const auto& rec : sampleRecords(400, 7, FlrJrnSample::Mix::Full)) {
        FlrJrnCommand a, b;
        ASSERT_EQ(decodeRawCmd(rec.data(), &a), 0);
        ASSERT_EQ(decodeRawCmd(rec.data(), rec.size(), &b), 0);
        EXPECT_EQ(getRawCmdSize(&a), static_cast<int>(rec.size()));
        EXPECT_EQ(encodeRaw(a), rec);
        EXPECT_EQ(rawDump(a), rawDump(b));
        seen.insert(a.cmd);
    }
    EXPECT_EQ(seen.size(), 23u);
}

// --- dumps ---------------------------------------------------------------------

const std::string kCommonLines =
    "timestamp........ 1700000000\n"
    "seq_num.......... 42\n"
    "devt............. 0x803\n"
    "mask............. 0x05";

TEST(FlrRawJournal, CreateDump) {
    const std::string f1(48, '0'), f2 = std::string(47, '0') + "2";
    FlrJrnCommand c = sampleCreate();
    c.create.par_fid = fsf_fid::fid0;
    c.create.fid = fsf_fid::fid0;
    c.create.fid.bytes[23] = 2;
    c.create.rdev = 0x801;
    EXPECT_EQ(rawDump(c), "cmd.............. FLR_JRN_CREATE\n" + kCommonLines +
                              "\npar_fid.......... " + f1 + "\nfid.............. " + f2 +
                              "\nshort_name....... a.txt"
                              "\nmode............. 100644"
                              "\nuid.............. 1000"
                              "\ngid.............. 100"
                              "\natime............ (1, 2)"
                              "\nmtime............ (3, 4)"
                              "\nrdev............. 0x801");
    c.cmd = FLR_JRN_MKDIR;
    const std::string mk = rawDump(c);
    EXPECT_EQ(mk.find("rdev"), std::string::npos);
    EXPECT_EQ(mk.substr(mk.size() - 24), "mtime............ (3, 4)");
}

TEST(FlrRawJournal, WriteDumpShowsAtMostSixtyPayloadCharacters) {
    std::string payload(100, 'a');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>('a' + i % 26);
    FlrJrnCommand c = rawCmd(FLR_JRN_WRITE);
    c.write.offset = 8192;
    c.write.size = 100;
    c.write.data = payload.data();
    const std::string head = "cmd.............. FLR_JRN_WRITE\n" + kCommonLines +
                             "\nfid.............. " + std::string(48, '0') +
                             "\noffset........... 8192";
    EXPECT_EQ(rawDump(c),
              head + "\nsize............. 100\ndata............. " + payload.substr(0, 60) + "...");
    c.write.size = 5;
    EXPECT_EQ(rawDump(c), head + "\nsize............. 5\ndata............. abcde...");
    payload[2] = '\0';
    c.write.size = 100;
    c.cmd = FLR_JRN_TWRITE;
    EXPECT_EQ(rawDump(c), "cmd.............. FLR_JRN_TWRITE" + head.substr(31) +
                              "\nsize............. 100\ndata............. ab...");
    c.cmd = FLR_JRN_WRITE_DDR;
    EXPECT_EQ(rawDump(c),
              "cmd.............. FLR_JRN_WRITE_DDR" + head.substr(31) + "\nsize............. 100");
}

TEST(FlrRawJournal, UnknownDumpHasOnlyTheCommonLines) {
    for (uint32_t code : {3u, 24u}) {
        FlrJrnCommand c = rawCmd(code);
        EXPECT_EQ(rawDump(c), "cmd.............. UNKNOWN\n" + kCommonLines);
    }
    FlrJrnCommand n = rawCmd(FLR_JRN_NOOP);
    n.seq_num = 1ULL << 40;
    n.devt = 0xfd01;
    n.mask = 0xabcd;
    n.timestamp = -3;
    EXPECT_EQ(rawDump(n),
              "cmd.............. FLR_JRN_NOOP\ntimestamp........ -3\nseq_num.......... "
              "1099511627776\ndevt............. 0xfd01\nmask............. 0xabcd");
}

TEST(FlrRawJournal, DumpsOfTheOtherCommands) {
    const std::string z(48, '0');
    FlrJrnCommand c = rawCmd(FLR_JRN_SNAP);
    c.snap.job_id = 77;
    c.snap.job_token = "tok";
    c.snap.set_id = 5;
    EXPECT_EQ(rawDump(c), "cmd.............. FLR_JRN_SNAP\n" + kCommonLines +
                              "\njob_id........... 77\njob_token........ tok\nset_id........... 5");
    c = rawCmd(FLR_JRN_REMOVE);
    c.remove.short_name = "x";
    c.remove.nlink = -1;
    EXPECT_EQ(rawDump(c),
              "cmd.............. FLR_JRN_REMOVE\n" + kCommonLines + "\npar_fid.......... " + z +
                  "\nshort_name....... x\nfile_fid......... " + z + "\nnlink............ -1");
    c = rawCmd(FLR_JRN_EXT2_SETFLAGS);
    c.setflags.flags = 0x4010;
    EXPECT_EQ(rawDump(c), "cmd.............. FLR_JRN_EXT2_SETFLAGS\n" + kCommonLines +
                              "\nfid.............. " + z + "\nflags............ 0x4010");
    c = rawCmd(FLR_JRN_SETXATTR_AIX);
    c.setxattr.flags = 2;
    c.setxattr.attr_name = "user.a";
    c.setxattr.attr_len = 9;
    EXPECT_EQ(rawDump(c),
              "cmd.............. FLR_JRN_SETXATTR_AIX\n" + kCommonLines + "\nfid.............. " +
                  z + "\nflags............ 2\nattr_name........ user.a\nattr_len......... 9");
    c = rawCmd(FLR_JRN_FCLEAR);
    c.fclear.offset = 4096;
    c.fclear.length = 8192;
    EXPECT_EQ(rawDump(c), "cmd.............. FLR_JRN_FCLEAR\n" + kCommonLines +
                              "\nfid.............. " + z +
                              "\noffset........... 4096\nlength........... 8192");
    c = rawCmd(FLR_JRN_TXTMSG);
    c.txtmsg.msg = "hi there";
    EXPECT_EQ(rawDump(c),
              "cmd.............. FLR_JRN_TXTMSG\n" + kCommonLines + "\nmsg.............. hi there");
}

// "name....... value": lower-case name, dots to 17 characters, one blank.
bool isPaddedLabelLine(const std::string& l) {
    if (l.size() < 18 || l[17] != ' ') return false;
    size_t i = 0;
    while (i < 17 && (islower(static_cast<unsigned char>(l[i])) || l[i] == '_')) ++i;
    if (i == 0 || i == 17) return false;
    while (i < 17 && l[i] == '.') ++i;
    return i == 17;
}

// Every dump line of every command: a known label padded with dots to 17
// characters and one blank, lines joined by "\n" without a trailing newline.
TEST(FlrRawJournal, EveryDumpLineHasAPaddedLabel) {
    std::map<uint32_t, size_t> lines;
    for (const auto& rec : sampleRecords(200, 3, FlrJrnSample::Mix::Full)) {
        FlrJrnCommand c;
        ASSERT_EQ(decodeRawCmd(rec.data(), &c), 0);
        std::string dump = rawDump(c, 65536);
        ASSERT_NE(dump.back(), '\n');
        // The payload text may hold anything, newlines included.
        const size_t data = dump.find("\ndata............. ");
        if (data != std::string::npos) dump.resize(data);
        std::istringstream in(dump);
        std::string l;
        size_t count = 0;
        while (std::getline(in, l)) {
            ++count;
            ASSERT_TRUE(isPaddedLabelLine(l)) << l;
            EXPECT_EQ(l.find(' '), 17u) << l;
        }
        lines[c.cmd] = count;
    }
    EXPECT_EQ(lines[FLR_JRN_NOOP], 5u);
    EXPECT_EQ(lines[FLR_JRN_SETATTR], 5u + 17u);
    EXPECT_EQ(lines[FLR_JRN_CREATE], 5u + 9u);
    EXPECT_EQ(lines[FLR_JRN_MKDIR], 5u + 8u);
    EXPECT_EQ(lines[FLR_JRN_RENAME], 5u + 7u);
    EXPECT_EQ(lines[FLR_JRN_SYMLINK], 5u + 6u);
    EXPECT_EQ(lines[FLR_JRN_WRITE_DDR], 5u + 3u);
    EXPECT_EQ(lines[FLR_JRN_UNSTUB], 5u + 1u);
}

TEST(FlrRawJournal, ShortDumpBufferIsTruncatedAndTerminated) {
    const FlrJrnCommand c = sampleCreate();
    const std::string full = rawDump(c);
    for (size_t size : {1u, 2u, 17u, 100u}) {
        std::vector<char> buf(size + 1, 'Z');
        printRawCmd(buf.data(), size, &c);
        EXPECT_EQ(buf[size - 1], '\0');
        EXPECT_EQ(buf[size], 'Z') << "nothing past the given size";
        EXPECT_EQ(std::string(buf.data()), full.substr(0, size - 1));
    }
}

}  // namespace
