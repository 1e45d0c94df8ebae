// Header CRC and SHA-256: check values, NIST vectors, openssl's output, both block functions.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "keydb/Crc32.h"
#include "keydb/KeyFileFormat.h"
#include "keydb/Sha256.h"
#include "tests/keydb/KeyDbTestSupport.h"

using keydbtest::PatternBytes;
using keydbtest::RunKdbtool;
using keydbtest::RunProgram;
using keydbtest::TempDir;

namespace {

// Bit-at-a-time CRC, MSB first, initial 0, no final XOR.
uint32_t BitwiseCrc(const uint8_t* data, size_t len, uint32_t poly) {
    uint32_t c = 0;
    for (size_t i = 0; i < len; ++i) {
        c ^= uint32_t{data[i]} << 24;
        for (int b = 0; b < 8; ++b) {
            c = (c & 0x80000000u) != 0 ? (c << 1) ^ poly : c << 1;
        }
    }
    return c;
}

uint32_t Crc(const std::string& s) {
    return CalcCrc32(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> out(hex.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return out;
}

std::string ToHex(const uint8_t* d, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += kDigits[d[i] >> 4];
        s += kDigits[d[i] & 15];
    }
    return s;
}

std::string HashHex(Sha256Impl impl, const std::vector<uint8_t>& data) {
    CSha256 sha(impl);
    sha.Update(data.data(), data.size());
    uint8_t digest[32];
    sha.Final(digest);
    return ToHex(digest, 32);
}

struct NistVector {
    size_t bits;
    std::vector<uint8_t> msg;
    std::string md;
};

// Reads a byte-oriented NIST response file (Len / Msg / MD triples).
std::vector<NistVector> ReadRsp(const std::string& path) {
    std::ifstream in(path);
    std::vector<NistVector> out;
    NistVector v;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.rfind("Len = ", 0) == 0) {
            v = NistVector{};
            v.bits = std::stoul(line.substr(6));
        } else if (line.rfind("Msg = ", 0) == 0) {
            v.msg = FromHex(line.substr(6));
            v.msg.resize(v.bits / 8);  // Len = 0 carries a placeholder byte
        } else if (line.rfind("MD = ", 0) == 0) {
            v.md = line.substr(5);
            out.push_back(v);
        }
    }
    return out;
}

std::vector<Sha256Impl> Impls() {
    std::vector<Sha256Impl> impls{Sha256Impl::Portable};
    if (Sha256ShaNiAvailable()) {
        impls.push_back(Sha256Impl::ShaNi);
    }
    return impls;
}

const char* Name(Sha256Impl impl) {
    return impl == Sha256Impl::ShaNi ? "sha-ni" : "portable";
}

}  // namespace

TEST(HeaderCrc, MatchesPublishedCheckValues) {
    EXPECT_EQ(Crc("123456789"), 0x889A9615u);
    EXPECT_EQ(Crc("abc"), 0x3A06543Eu);
    const uint8_t zeros[4] = {0, 0, 0, 0};
    EXPECT_EQ(CalcCrc32(zeros, 4), 0u);
    const uint8_t one = 1;
    EXPECT_EQ(CalcCrc32(&one, 1), 0x04C10DB7u);
    EXPECT_EQ(CalcCrc32(zeros, 0), 0u);
}

TEST(HeaderCrc, EightBytesAtATimeAgreesWithBitwiseDivisionAtEveryLength) {
    const std::vector<uint8_t> data = PatternBytes(4096 + 77, 7);
    for (size_t len = 0; len <= 80; ++len) {
        for (size_t start = 0; start < 3; ++start) {
            ASSERT_EQ(CalcCrc32(data.data() + start, len),
                      BitwiseCrc(data.data() + start, len, 0x04C10DB7u))
                << "len " << len << " start " << start;
        }
    }
    EXPECT_EQ(CalcCrc32(data.data(), data.size()),
              BitwiseCrc(data.data(), data.size(), 0x04C10DB7u));
}

TEST(HeaderCrc, CommonPolynomialDoesNotMatchAStoredHeaderCrc) {
    TempDir dir;
    const std::string path = dir.File("k.kdb");
    ASSERT_EQ(RunKdbtool({"create", "--keys", "40", "--key-size", "8", path}).exitCode, 0);
    const std::vector<uint8_t> image = keydbtest::ReadBytes(path);
    const uint32_t h = kdb::LoadLe16(image.data() + 4);
    const uint32_t stored = kdb::LoadLe32(image.data() + h - 4);
    EXPECT_EQ(stored, CalcCrc32(image.data(), h - 4));
    EXPECT_NE(stored, BitwiseCrc(image.data(), h - 4, 0x04C11DB7u));
}

TEST(Sha256, NistShortAndLongMessagesOnEveryBlockFunction) {
    const std::string dir = KS_SHA_VECTOR_DIR;
    for (const char* name : {"/SHA256ShortMsg.rsp", "/SHA256LongMsg.rsp"}) {
        const std::vector<NistVector> vectors = ReadRsp(dir + name);
        // The files ship with python3-cryptography-vectors; their absence is a broken setup.
        ASSERT_GE(vectors.size(), 64u) << "NIST vectors missing or unreadable: " << dir << name;
        for (Sha256Impl impl : Impls()) {
            for (const NistVector& v : vectors) {
                ASSERT_EQ(HashHex(impl, v.msg), v.md)
                    << Name(impl) << " " << name << " Len " << v.bits;
            }
        }
    }
}

TEST(Sha256, AgreesWithOpensslOnFilesOfOddSizes) {
    TempDir dir;
    const size_t sizes[] = {1, 55, 56, 63, 64, 65, 119, 1001, 262143, 262145, 1000003};
    uint32_t seed = 1;
    for (size_t size : sizes) {
        const std::vector<uint8_t> data = PatternBytes(size, seed++);
        const std::string path = dir.File("data-" + std::to_string(size));
        keydbtest::WriteBytes(path, data);
        const keydbtest::ProgramResult r =
            RunProgram({"/usr/bin/openssl", "dgst", "-sha256", "-r", path});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string expected = r.out.substr(0, 64);
        for (Sha256Impl impl : Impls()) {
            EXPECT_EQ(HashHex(impl, data), expected) << Name(impl) << " size " << size;
        }
        uint8_t digest[32];
        ASSERT_TRUE(DoHash256(digest, data.data(), static_cast<uint32_t>(size), 0));
        EXPECT_EQ(ToHex(digest, 32), expected) << "DoHash256 size " << size;
    }
}

TEST(Sha256, SplittingTheInputAnywhereGivesTheSameDigest) {
    const std::vector<uint8_t> data = PatternBytes(5000, 3);
    std::mt19937 rng(11);
    for (Sha256Impl impl : Impls()) {
        const std::string whole = HashHex(impl, data);
        for (int round = 0; round < 50; ++round) {
            CSha256 sha(impl);
            size_t pos = 0;
            while (pos < data.size()) {
                const size_t n = std::min<size_t>(rng() % 150, data.size() - pos);
                sha.Update(data.data() + pos, n);
                pos += n;
            }
            uint8_t digest[32];
            sha.Final(digest);
            ASSERT_EQ(ToHex(digest, 32), whole) << Name(impl);
        }
    }
}

TEST(Sha256, ObjectStartsOverAfterFinal) {
    const std::vector<uint8_t> data = PatternBytes(100, 5);
    CSha256 sha;
    sha.Update(data.data(), 30);
    uint8_t first[32];
    sha.Final(first);
    sha.Update(data.data(), data.size());
    uint8_t second[32];
    sha.Final(second);
    EXPECT_EQ(ToHex(second, 32), HashHex(Sha256Impl::Portable, data));
}

TEST(Sha256, DoHash256RefusesEmptyInputAndMissingBuffers) {
    uint8_t digest[32];
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_FALSE(DoHash256(digest, data, 0u, 0u));
    EXPECT_FALSE(DoHash256(nullptr, data, 4u, 0u));
    EXPECT_FALSE(DoHash256(digest, nullptr, 4u, 0u));
    EXPECT_TRUE(DoHash256(digest, data, 4u, 0u));
}

TEST(Sha256, DefaultBlockFunctionCanBeForcedEitherWay) {
    const std::vector<uint8_t> data = PatternBytes(3000, 9);
    const std::string expected = HashHex(Sha256Impl::Portable, data);
    const Sha256Impl before = Sha256DefaultImpl();
    for (Sha256Impl impl : Impls()) {
        ASSERT_TRUE(Sha256SetDefaultImpl(impl));
        EXPECT_EQ(Sha256DefaultImpl(), impl);
        EXPECT_EQ(CSha256().Impl(), impl);
        uint8_t digest[32];
        ASSERT_TRUE(DoHash256(digest, data.data(), uint64_t{data.size()}));
        EXPECT_EQ(ToHex(digest, 32), expected) << Name(impl);
    }
    if (!Sha256ShaNiAvailable()) {
        EXPECT_FALSE(Sha256SetDefaultImpl(Sha256Impl::ShaNi));
    }
    Sha256SetDefaultImpl(before);
}

TEST(Sha256, ShaExtensionsAreUsedWhenTheCpuHasThem) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::stringstream text;
    text << cpuinfo.rdbuf();
    const bool cpuHasSha = text.str().find(" sha_ni") != std::string::npos;
    EXPECT_EQ(Sha256ShaNiAvailable(), cpuHasSha);
    if (cpuHasSha) {
        EXPECT_EQ(CSha256(Sha256Impl::Auto).Impl(), Sha256Impl::ShaNi);
    }
}
