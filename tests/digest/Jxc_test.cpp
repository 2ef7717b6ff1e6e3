#include "digest/Jxc.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "FLR/JxException.h"
#include "platform/JxFile.h"
#include "support/TestSupport.h"

namespace {

const std::string kCheckInput = "123456789";

TEST(JxcCrc32, MatchesCatalogueCheckValues) {
    // Raw register from all ones is CRC-32/JAMCRC; inverting it gives the
    // familiar CRC-32 (zlib, PNG, Ethernet) check value.
    const uint32_t raw = jx_crc32(0xffffffffu, kCheckInput.data(), kCheckInput.size());
    EXPECT_EQ(raw, 0x340bc6d9u);
    EXPECT_EQ(~raw, 0xcbf43926u);
}

TEST(JxcCrc32, EmptyInputLeavesRegisterUnchanged) {
    EXPECT_EQ(jx_crc32(0x12345678u, nullptr, 0), 0x12345678u);
    EXPECT_EQ(jx_crc32(0xffffffffu, "", 0), 0xffffffffu);
}

TEST(JxcCrc32, ContinuesAcrossEverySplitPoint) {
    std::string data;
    for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 37 + 11));
    const uint32_t whole = jx_crc32(0xffffffffu, data.data(), data.size());
    for (size_t cut = 0; cut <= data.size(); ++cut) {
        const uint32_t head = jx_crc32(0xffffffffu, data.data(), cut);
        EXPECT_EQ(jx_crc32(head, data.data() + cut, data.size() - cut), whole) << "cut " << cut;
    }
}

}  // namespace

TEST(Jxc, Crc32cMatchesTheCatalogueAndContinues) {
    // CRC-32C check value of "123456789" is 0xe3069283 after the final inversion.
    const char* text = "123456789";
    EXPECT_EQ(0xe3069283u, ~jx_crc32c(0xffffffffu, text, 9));
    EXPECT_EQ(0x12345678u, jx_crc32c(0x12345678u, text, 0));
    // Every split point and every alignment gives the one-shot value, so the
    // 8-byte hardware steps and the byte tail agree with each other.
    std::string data;
    for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i * 31 + 7));
    for (size_t start = 0; start < 9; ++start) {
        const std::string s = data.substr(start);
        const uint32_t whole = jx_crc32c(0xffffffffu, s.data(), s.size());
        for (size_t cut = 0; cut <= s.size(); cut += 37)
            EXPECT_EQ(whole, jx_crc32c(jx_crc32c(0xffffffffu, s.data(), cut), s.data() + cut,
                                       s.size() - cut));
    }
}

namespace {

std::string hex(const unsigned char* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

std::string md5Hex(const std::string& data) {
    unsigned char d[16];
    Jxc::md5(data.data(), data.size(), d);
    return hex(d, 16);
}

std::string randomBytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// The weak sum by its definition, with nothing shared with the library's
// unrolled loop: a = sum x, b = sum (n - i) x, both modulo 2^16.
uint32_t rsyncByDefinition(const unsigned char* p, size_t n) {
    uint64_t a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        a += p[i];
        b += (n - i) * uint64_t{p[i]};
    }
    return static_cast<uint32_t>((a & 0xffff) | ((b & 0xffff) << 16));
}

TEST(JxcCrc32, InPlaceFormFromAllOnesIsTheComplementOfStandardCrc) {
    uint32_t crc = 0xffffffffu;
    jx_crc32(kCheckInput.data(), 4, &crc);
    jx_crc32(kCheckInput.data() + 4, kCheckInput.size() - 4, &crc);
    EXPECT_EQ(crc, 0x340bc6d9u);
    EXPECT_EQ(Jxc::weakSum(Jxc::Weak::Crc32, kCheckInput.data(), kCheckInput.size()), crc);
}

TEST(JxcDigest, Md5MatchesRfc1321Suite) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {repeat("1234567890", 8), "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(md5Hex(input), expected) << '"' << input << '"';
        // The incremental form byte by byte gives the same digest.
        md5_state_t st;
        md5_init(&st);
        for (char c : input) md5_append(&st, &c, 1);
        md5_byte_t d[16];
        md5_finish(&st, d);
        EXPECT_EQ(hex(d, 16), expected);
    }
}

TEST(JxcDigest, Md5StateIsReusableAndMovable) {
    md5_state_t st;
    EXPECT_THROW(md5_append(&st, "x", 1), JxException);
    md5_init(&st);
    md5_append(&st, "garbage that must not leak into the next digest", 20);
    md5_init(&st);
    md5_append(&st, "abc", 3);
    md5_state_t moved(std::move(st));
    md5_byte_t d[16];
    md5_finish(&moved, d);
    EXPECT_EQ(hex(d, 16), "900150983cd24fb0d6963f7d28e17f72");
    md5_init(&moved);
    md5_finish(&moved, d);
    EXPECT_EQ(hex(d, 16), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(JxcDigest, Sha1MatchesFips180VectorsOneShotAndIncremental) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    Jxc::Sha1 inc;
    for (const auto& [input, expected] : cases) {
        unsigned char d[20];
        Jxc::sha1(input.data(), input.size(), d);
        EXPECT_EQ(hex(d, 20), expected);
        // Uneven pieces, and final() leaves the object ready for the next input.
        for (size_t at = 0, step = 1; at < input.size(); at += step, step = step * 3 + 1)
            inc.update(input.data() + at, std::min(step, input.size() - at));
        inc.final(d);
        EXPECT_EQ(hex(d, 20), expected);
    }
}

TEST(JxcDigest, Sha256MatchesFips180VectorsOneShotAndIncremental) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    Jxc::Sha256 inc;
    for (const auto& [input, expected] : cases) {
        unsigned char d[32];
        Jxc::sha256(input.data(), input.size(), d);
        EXPECT_EQ(hex(d, 32), expected);
        for (size_t at = 0, step = 1; at < input.size(); at += step, step = step * 3 + 1)
            inc.update(input.data() + at, std::min(step, input.size() - at));
        inc.final(d);
        EXPECT_EQ(hex(d, 32), expected);
        inc.digest(input.data(), input.size(), d);
        EXPECT_EQ(hex(d, 32), expected);
    }
}

TEST(JxcRolling, PinnedValueAndDefinitionOverEdgeShapes) {
    // The form is shared by head and tail builds: pin one value by hand.
    // a = 97 + 98 + 99 = 0x126, b = 3*97 + 2*98 + 99 = 0x24a.
    EXPECT_EQ(Jxc::rsync("abc", 3), 0x024a0126u);
    EXPECT_EQ(Jxc::rsync(nullptr, 0), 0u);
    // All-0xff windows overflow both 16-bit sums many times over.
    for (size_t n : {1u, 2u, 3u, 4u, 5u, 255u, 256u, 257u, 65535u, 65536u, 65537u, 300001u}) {
        const std::string ff(n, '\xff');
        const auto* p = reinterpret_cast<const unsigned char*>(ff.data());
        EXPECT_EQ(Jxc::rsync(p, n), rsyncByDefinition(p, n)) << n;
    }
}

TEST(JxcRolling, RollingAndExtendingEqualRecomputationForEveryWindow) {
    std::mt19937 rng(20261208);
    const int rounds = flrtest::scaled(40);
    for (int r = 0; r < rounds; ++r) {
        const std::string data = randomBytes(rng, 1 + rng() % 5000);
        const auto* p = reinterpret_cast<const unsigned char*>(data.data());
        const size_t window = 1 + rng() % data.size();
        uint32_t sum = Jxc::rsync(p, window);
        ASSERT_EQ(sum, rsyncByDefinition(p, window));
        for (size_t at = 1; at + window <= data.size(); ++at) {
            sum = Jxc::rsyncRoll(sum, window, p[at - 1], p[at + window - 1]);
            ASSERT_EQ(sum, rsyncByDefinition(p + at, window))
                << "round " << r << " window " << window << " at " << at;
        }
        const size_t cut = rng() % (data.size() + 1);
        EXPECT_EQ(Jxc::rsyncUpdate(Jxc::rsync(p, cut), p + cut, data.size() - cut),
                  Jxc::rsync(p, data.size()));
    }
}

std::vector<Jxc::BlockSum> collect(const std::string& data, uint32_t blockSize, Jxc::Weak kind) {
    std::vector<Jxc::BlockSum> out;
    Jxc::blockSums(data.data(), data.size(), blockSize, kind, [&](const Jxc::BlockSum& s) {
        out.push_back(s);
        return true;
    });
    return out;
}

TEST(JxcBlockSums, BufferAndFileGiveTheSameSignaturesAcrossReadChunks) {
    // Above 1 MiB with block sizes that do and do not divide the read chunk,
    // so blocks straddle the file reader's chunk edges and the tail is short.
    std::mt19937 rng(7);
    const std::string data = randomBytes(rng, (2u << 20) + 12345);
    flrtest::TempDir dir;
    flrtest::writeFile(dir.file("f"), data);
    jx::File f = jx::openFile(dir.file("f"), O_RDONLY);
    ASSERT_TRUE(f.valid());
    for (uint32_t bs : {7u, 3000u, 32768u, 1u << 20, 3u << 20}) {
        for (auto kind : {Jxc::Weak::Crc32, Jxc::Weak::Rsync}) {
            const auto fromBuffer = collect(data, bs, kind);
            ASSERT_EQ(fromBuffer.size(), (data.size() + bs - 1) / bs) << bs;
            std::vector<Jxc::BlockSum> fromFile;
            EXPECT_EQ(Jxc::blockSums(f.get(), bs, kind,
                                     [&](const Jxc::BlockSum& s) {
                                         fromFile.push_back(s);
                                         return true;
                                     }),
                      fromBuffer.size());
            ASSERT_EQ(fromFile.size(), fromBuffer.size());
            for (size_t i = 0; i < fromBuffer.size(); ++i) {
                const auto& a = fromBuffer[i];
                const auto& b = fromFile[i];
                ASSERT_EQ(a.index, i);
                ASSERT_EQ(b.index, i);
                ASSERT_EQ(a.length, b.length);
                ASSERT_EQ(a.weak, b.weak) << "block size " << bs << " block " << i;
                ASSERT_EQ(0, memcmp(a.md5, b.md5, 16));
            }
            // Spot-check the first and the short last block against the primitives.
            for (const auto* s : {&fromBuffer.front(), &fromBuffer.back()}) {
                const std::string block = data.substr(size_t{s->index} * bs, s->length);
                EXPECT_EQ(s->weak, Jxc::weakSum(kind, block.data(), block.size()));
                EXPECT_EQ(hex(s->md5, 16), md5Hex(block));
            }
            EXPECT_EQ(fromBuffer.back().length, data.size() - size_t{bs} * (fromBuffer.size() - 1));
        }
    }
}

TEST(JxcBlockSums, EdgesAndRefusals) {
    EXPECT_TRUE(collect("", 16, Jxc::Weak::Rsync).empty());
    const auto one = collect("abc", 16, Jxc::Weak::Rsync);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].weak, 0x024a0126u);
    EXPECT_EQ(one[0].length, 3u);
    // The sink stops the walk.
    int seen = 0;
    EXPECT_EQ(Jxc::blockSums("abcdefgh", 8, 2, Jxc::Weak::Crc32,
                             [&](const Jxc::BlockSum&) { return ++seen < 2; }),
              2u);
    EXPECT_EQ(seen, 2);
    EXPECT_THROW(collect("abc", 0, Jxc::Weak::Crc32), JxException);
    EXPECT_THROW(collect("abc", (64u << 20) + 1, Jxc::Weak::Crc32), JxException);
    try {
        Jxc::blockSums(-1, 4096, Jxc::Weak::Crc32, [](const Jxc::BlockSum&) { return true; });
        FAIL() << "a bad descriptor must throw";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getCode(), EBADF);
        EXPECT_NE(e.getMessage().find("offset 0"), std::string::npos) << e.getMessage();
    }
}

}  // namespace
