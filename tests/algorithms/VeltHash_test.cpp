#define OPENSSL_SUPPRESS_DEPRECATED  // MD4() is deprecated in OpenSSL 3
#include <openssl/md4.h>
#include <openssl/sha.h>

#include <gtest/gtest.h>

#include "algorithms/TestBytes.h"
#include "algorithms/VeltCipher.h"

namespace {

template <class H>
std::string HexDigestOf(std::string_view data) {
    H hash;
    hash.Init();
    hash.Update(data.data(), static_cast<int32_t>(data.size()));
    hash.Final();
    return hash.DigestText(16);
}

// Feeds `data` in pieces of 1, 2, 3, ... bytes (wrapping at 70), so every
// boundary case of the block buffer is crossed.
template <class H>
std::string HexDigestInPieces(const Bytes& data, H& hash) {
    hash.Init();
    size_t done = 0;
    for (int piece = 1; done < data.size(); piece = piece % 70 + 1) {
        const size_t n = std::min<size_t>(piece, data.size() - done);
        hash.Update(data.data() + done, static_cast<int32_t>(n));
        done += n;
    }
    hash.Final();
    return hash.DigestText(16);
}

Bytes Counting(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

TEST(Sha0, KnownDigestsOfFips180) {
    EXPECT_EQ(HexDigestOf<THash_SHA>("abc"), "0164B8A914CD2A5E74C4F7FF082C4D97F1EDF880");
    EXPECT_EQ(HexDigestOf<THash_SHA>(""), "F96CEA198AD1DD5617AC084A3D92C6107708C0EF");
    EXPECT_EQ(HexDigestOf<THash_SHA>("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "D2516EE1ACFA5BAF33DFC1C471E438449EF134C8");
    EXPECT_EQ(HexDigestOf<THash_SHA>(std::string(1000000, 'a')),
              "3232AFFA48628A26653B5AAA44541FD90D690603");
}

TEST(Sha0, HashStringIsBase64OfTheDigest) {
    Bytes digest;
    const std::string text = HashString(&CreateHash<THash_SHA>, "abc", &digest);
    EXPECT_EQ(text, "AWS4qRTNKl50xPf/CCxNl/Ht+IA=");
    EXPECT_EQ(text.size(), 28u);
    EXPECT_EQ(ToHex(digest), "0164B8A914CD2A5E74C4F7FF082C4D97F1EDF880");
    // A null class means the default hash class.
    EXPECT_EQ(HashString(nullptr, "abc"), text);
}

// Digests of the bytes 0, 1, ..., n-1 from a separate straightforward
// SHA-0 written outside this code base.
TEST(Sha0, MessagesAroundThePaddingEdge) {
    const std::pair<size_t, const char*> cases[] = {
        {55, "4F3309F0134BBFF2B3C9E24411FE896353CA6E72"},
        {56, "C2A39C635A688D3759182F4D352FBE744E5567B8"},
        {63, "C12168E2101F6E711EA23A5FCAD8318F1E7C8BAE"},
        {64, "BBE543EB4FE1D3F84DAF70535919F20647E8959E"},
        {65, "82E95F250A99CCFA9A457AAAB66DF13590780DC0"},
    };
    for (const auto& [n, expected] : cases) {
        const Bytes data = Counting(n);
        EXPECT_EQ(HexDigestOf<THash_SHA>(AsString(data)), expected) << n << " bytes at once";
        THash_SHA hash;
        EXPECT_EQ(HexDigestInPieces(data, hash), expected) << n << " bytes in pieces";
    }
}

// With the rotate switch on, the same code computes SHA-1, for which
// libcrypto is an independent reference: padding and piecewise feeding are
// shared with SHA-0, so this checks them on every length up to 300.
TEST(Sha0, RotateSwitchGivesSha1OfEveryLength) {
    TByteSource random(1);
    for (size_t n = 0; n <= 300; ++n) {
        const Bytes data = random.Next(n);
        uint8_t expected[SHA_DIGEST_LENGTH];
        SHA1(data.data(), data.size(), expected);
        THash_SHA hash;
        hash.Rotate = true;
        EXPECT_EQ(HexDigestInPieces(data, hash), ToHex(expected, sizeof expected)) << n;
    }
}

TEST(Sha0, InitStartsAFreshDigest) {
    THash_SHA hash;
    hash.Init();
    hash.Update("xyz", 3);
    hash.Final();
    hash.Init();
    hash.Update("abc", 3);
    hash.Final();
    EXPECT_EQ(hash.DigestText(16), "0164B8A914CD2A5E74C4F7FF082C4D97F1EDF880");
}

TEST(Md4, Rfc1320TestSuite) {
    const std::pair<const char*, const char*> suite[] = {
        {"", "31D6CFE0D16AE931B73C59D7E0C089C0"},
        {"a", "BDE52CB31DE33E46245E05FBDBD6FB24"},
        {"abc", "A448017AAF21D8525FC10AE87AA6729D"},
        {"message digest", "D9130A8164549FE818874806E1C7014B"},
        {"abcdefghijklmnopqrstuvwxyz", "D79E1C308AA5BBCDEEA8ED63DF412DA9"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "043F8582F241DB351CE627E153E7F0E4"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
         "7890",
         "E33B4DDC9C38F2199C3E7B164FCC0536"},
    };
    for (const auto& [message, digest] : suite) EXPECT_EQ(HexDigestOf<THash_MD4>(message), digest);
}

TEST(Md4, MatchesLibcryptoOnEveryLengthInPieces) {
    TByteSource random(2);
    for (size_t n = 0; n <= 200; ++n) {
        const Bytes data = random.Next(n);
        uint8_t expected[MD4_DIGEST_LENGTH];
        MD4(data.data(), data.size(), expected);
        THash_MD4 hash;
        EXPECT_EQ(HexDigestInPieces(data, hash), ToHex(expected, sizeof expected)) << n;
    }
}

TEST(DigestText, FormatsBase64HexAndRaw) {
    THash_MD4 md4;
    md4.Init();
    md4.Final();
    EXPECT_EQ(md4.DigestSize(), 16);
    EXPECT_EQ(md4.DigestText(0), "MdbP4NFq6TG3PFnX4MCJwA==");  // two pad characters
    EXPECT_EQ(md4.DigestText(64), md4.DigestText(0));
    EXPECT_EQ(md4.DigestText(16), "31D6CFE0D16AE931B73C59D7E0C089C0");
    const std::string raw = md4.DigestText(1);
    ASSERT_EQ(raw.size(), 16u);
    EXPECT_EQ(ToHex(reinterpret_cast<const uint8_t*>(raw.data()), raw.size()),
              "31D6CFE0D16AE931B73C59D7E0C089C0");
}

TEST(DigestText, BaseHashHasAnEmptyDigest) {
    EXPECT_EQ(HashString(&CreateHash<THash>, "anything"), "");
    THash hash;
    EXPECT_EQ(hash.DigestSize(), 0);
    EXPECT_EQ(hash.Digest()[0], 0);
}

}  // namespace
