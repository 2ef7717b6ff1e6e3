// MD5 in vector lanes against OpenSSL's one-at-a-time digests, on every path
// this processor has, the block signatures built on it, and the folded
// CRC-32 against a bit-at-a-time register.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/Jxc.h"
#include "platform/JxFile.h"
#include "support/TestSupport.h"

namespace {

const char* pathName(Jxc::Md5Path p) {
    switch (p) {
        case Jxc::Md5Path::OpenSSL:
            return "OpenSSL";
        case Jxc::Md5Path::Avx2:
            return "Avx2";
        case Jxc::Md5Path::Avx512:
            return "Avx512";
        default:
            return "Auto";
    }
}

// Forces one path for a test and restores the default choice afterwards.
class LanesPath : public ::testing::TestWithParam<Jxc::Md5Path> {
  protected:
    void SetUp() override {
        if (!Jxc::md5UsePath(GetParam()))
            GTEST_SKIP() << pathName(GetParam()) << " is not available here";
        ASSERT_EQ(Jxc::md5Path(), GetParam());
    }
    void TearDown() override { Jxc::md5UsePath(Jxc::Md5Path::Auto); }
};

std::vector<size_t> testLengths() {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {447u, 448u, 511u, 512u, 1000u, 4095u, 4096u, 4097u, 65536u})
        lengths.push_back(n);
    return lengths;
}

TEST_P(LanesPath, EveryLengthAndGroupSizeMatchesOpenSSL) {
    const size_t lanes = Jxc::md5Lanes();
    std::mt19937 rng(1321);
    for (size_t len : testLengths()) {
        for (size_t count : {size_t{1}, lanes - 1, lanes, lanes + 1, 2 * lanes + 3}) {
            if (count == 0) continue;
            // Messages at uneven gaps in one arena, in reverse order, so the
            // lanes cannot rely on a fixed stride or on rising addresses.
            std::vector<unsigned char> arena(count * (len + 13) + 1);
            for (auto& b : arena) b = static_cast<unsigned char>(rng());
            std::vector<const unsigned char*> msgs(count);
            for (size_t i = 0; i < count; ++i)
                msgs[count - 1 - i] = arena.data() + i * (len + 13) + (i % 3);
            // One spare digest past the end must stay untouched.
            std::vector<unsigned char> flat((count + 1) * 16);
            auto* out = reinterpret_cast<unsigned char(*)[16]>(flat.data());
            std::memset(out[count], 0xa5, 16);
            Jxc::md5Many(msgs.data(), count, len, out);
            for (size_t i = 0; i < count; ++i) {
                unsigned char want[16];
                Jxc::md5(msgs[i], len, want);
                ASSERT_EQ(0, std::memcmp(out[i], want, 16))
                    << pathName(GetParam()) << " length " << len << " count " << count
                    << " message " << i;
            }
            for (int k = 0; k < 16; ++k) ASSERT_EQ(out[count][k], 0xa5);
        }
    }
}

std::vector<Jxc::BlockSum> signBuffer(const std::string& data, uint32_t bs, Jxc::Weak kind) {
    std::vector<Jxc::BlockSum> got;
    const uint64_t n =
        Jxc::blockSums(data.data(), data.size(), bs, kind, [&](const Jxc::BlockSum& s) {
            got.push_back(s);
            return true;
        });
    EXPECT_EQ(n, got.size());
    return got;
}

std::vector<Jxc::BlockSum> signFile(const std::string& path, uint32_t bs, Jxc::Weak kind) {
    std::vector<Jxc::BlockSum> got;
    jx::File f = jx::openFile(path, O_RDONLY);
    EXPECT_TRUE(f.valid());
    const uint64_t n = Jxc::blockSums(f.get(), bs, kind, [&](const Jxc::BlockSum& s) {
        got.push_back(s);
        return true;
    });
    EXPECT_EQ(n, got.size());
    return got;
}

void expectPerBlockReference(const std::vector<Jxc::BlockSum>& got, const std::string& data,
                             uint32_t bs, Jxc::Weak kind) {
    ASSERT_EQ(got.size(), (data.size() + bs - 1) / bs);
    for (size_t i = 0; i < got.size(); ++i) {
        const size_t at = i * bs;
        const size_t len = std::min<size_t>(bs, data.size() - at);
        unsigned char want[16];
        Jxc::md5(data.data() + at, len, want);
        ASSERT_EQ(got[i].index, i);
        ASSERT_EQ(got[i].length, len);
        ASSERT_EQ(got[i].weak, Jxc::weakSum(kind, data.data() + at, len));
        ASSERT_EQ(0, std::memcmp(got[i].md5, want, 16)) << "block " << i;
    }
}

// Block signatures must not depend on how they are batched: sizes around one
// block, the 32-block window and the file reader's 1 MiB chunk, from memory
// and from a file.
TEST_P(LanesPath, BlockSumsMatchPerBlockReference) {
    std::mt19937 rng(64);
    flrtest::TempDir dir;
    for (uint32_t bs : {1u, 64u, 100u, 4096u}) {
        const size_t window = 32 * size_t{bs};
        std::vector<size_t> lengths = {
            0, 1, bs - 1u, bs, bs + 1u, window - 1, window, window + 1, 2 * window + bs / 2};
        if (bs == 4096)
            for (size_t n : {(size_t{1} << 20) - 1, size_t{1} << 20, (size_t{1} << 20) + 5})
                lengths.push_back(n);
        for (size_t len : lengths) {
            std::string data(len, '\0');
            for (auto& c : data) c = static_cast<char>(rng());
            flrtest::writeFile(dir.file("f"), data);
            for (auto kind : {Jxc::Weak::Crc32, Jxc::Weak::Rsync}) {
                SCOPED_TRACE(std::string(pathName(GetParam())) + " block size " +
                             std::to_string(bs) + " length " + std::to_string(len));
                expectPerBlockReference(signBuffer(data, bs, kind), data, bs, kind);
                expectPerBlockReference(signFile(dir.file("f"), bs, kind), data, bs, kind);
            }
        }
    }
}

TEST_P(LanesPath, SinkStopsInsideAWindow) {
    const std::string data(100 * 64 + 7, 'x');
    for (size_t stopAt : {1u, 31u, 32u, 33u, 101u}) {
        size_t seen = 0;
        const uint64_t n = Jxc::blockSums(data.data(), data.size(), 64, Jxc::Weak::Crc32,
                                          [&](const Jxc::BlockSum& s) {
                                              EXPECT_EQ(s.index, seen);
                                              return ++seen < stopAt;
                                          });
        EXPECT_EQ(n, stopAt);
        EXPECT_EQ(seen, stopAt);
    }
}

uint32_t crc32BitByBit(uint32_t crc, const unsigned char* p, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? (crc >> 1) ^ 0xedb88320u : crc >> 1;
    }
    return crc;
}

// Long inputs take the carry-less multiply folding where the processor has
// it: every length around its 64- and 16-byte steps, any start register.
TEST(JxcCrc32Folded, MatchesBitByBitRegister) {
    std::mt19937 rng(32);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    for (size_t n : {1023u, 1024u, 4095u, 4096u, 4097u, 65536u + 17u}) lengths.push_back(n);
    for (size_t len : lengths) {
        std::vector<unsigned char> data(len + 1);
        for (auto& b : data) b = static_cast<unsigned char>(rng());
        for (uint32_t start : {0u, 0xffffffffu, static_cast<uint32_t>(rng())}) {
            // From offset 1 too: the loads must not need alignment.
            for (size_t at : {0u, 1u}) {
                ASSERT_EQ(jx_crc32(start, data.data() + at, len),
                          crc32BitByBit(start, data.data() + at, len))
                    << "length " << len << " start " << start << " offset " << at;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, LanesPath,
                         ::testing::Values(Jxc::Md5Path::OpenSSL, Jxc::Md5Path::Avx2,
                                           Jxc::Md5Path::Avx512),
                         [](const ::testing::TestParamInfo<Jxc::Md5Path>& param) {
                             return std::string(pathName(param.param));
                         });

}  // namespace
