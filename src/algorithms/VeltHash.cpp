// The hashes: THash (the empty base), MD4 of RFC 1320 and the first Secure
// Hash Algorithm of FIPS 180 (SHA-0), with the text forms of a digest.
//
// Both hashes work on 64-byte blocks. The last block is padded as
//
//   offset 0 .. n-1    remaining message bytes (n < 64)
//   offset n           0x80
//   offset n+1 .. 55   zeros (an extra block is transformed first when n >= 56)
//   offset 56 .. 63    message length in bits: little-endian for MD4,
//                      big-endian for SHA
//
// MD4's digest is its four state words little-endian (16 bytes), SHA's its
// five state words big-endian (20 bytes). The stored password digests of
// every database depend on SHA-0 exactly as written here.

#include <algorithm>
#include <cstring>

#include "algorithms/Endian.h"
#include "algorithms/SecureWipe.h"
#include "algorithms/VeltCipher.h"

namespace {

constexpr int32_t kDefaultDigestFormat = 64;
constexpr int32_t kFormatBase64 = 64;
constexpr int32_t kFormatHex = 16;
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr char kBase64Padding = kBase64Alphabet[64];
constexpr char kHexDigits[] = "0123456789ABCDEF";

// What THash's Digest points at: nothing is ever written here.
constexpr uint8_t kZeroDigest[64] = {};

// The ten initial state words; MD4 uses the first four, SHA the first five.
constexpr uint32_t kInitialState[10] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0,
                                        0x76543210, 0xFEDCBA98, 0x89ABCDEF, 0x01234567, 0x3C2D1E0F};

constexpr uint32_t kMd4Round2 = 0x5A827999;
constexpr uint32_t kMd4Round3 = 0x6ED9EBA1;
constexpr uint32_t kSha1 = 0x5A827999;
constexpr uint32_t kSha2 = 0x6ED9EBA1;
constexpr uint32_t kSha3 = 0x8F1BBCDC;
constexpr uint32_t kSha4 = 0xCA62C1D6;

std::string Base64(const uint8_t* data, int32_t size) {
    std::string text;
    text.reserve(static_cast<size_t>((size + 2) / 3) * 4);
    for (int32_t i = 0; i < size; i += 3) {
        const int32_t left = size - i;
        const uint32_t group = (uint32_t{data[i]} << 16) |
                               (left > 1 ? uint32_t{data[i + 1]} << 8 : 0u) |
                               (left > 2 ? uint32_t{data[i + 2]} : 0u);
        text += kBase64Alphabet[(group >> 18) & 63];
        text += kBase64Alphabet[(group >> 12) & 63];
        text += left > 1 ? kBase64Alphabet[(group >> 6) & 63] : kBase64Padding;
        text += left > 2 ? kBase64Alphabet[group & 63] : kBase64Padding;
    }
    return text;
}

std::string Hex(const uint8_t* data, int32_t size) {
    std::string text;
    text.reserve(static_cast<size_t>(size) * 2);
    for (int32_t i = 0; i < size; ++i) {
        text += kHexDigits[data[i] >> 4];
        text += kHexDigits[data[i] & 15];
    }
    return text;
}

}  // namespace

// ---------------------------------------------------------------- THash

THash::~THash() = default;

void THash::Update(const void* data, int32_t size) {
    (void)data;
    (void)size;
}

const uint8_t* THash::Digest() const {
    return kZeroDigest;
}

std::string THash::DigestText(int32_t format) const {
    if (format == 0) format = kDefaultDigestFormat;
    const uint8_t* digest = Digest();
    const int32_t size = DigestSize();
    if (format == kFormatBase64) return Base64(digest, size);
    if (format == kFormatHex) return Hex(digest, size);
    return std::string(reinterpret_cast<const char*>(digest), static_cast<size_t>(size));
}

std::string HashString(THashClass hashClass, std::string_view data,
                       std::vector<uint8_t>* digestBytes) {
    std::unique_ptr<THash> hash = hashClass != nullptr ? hashClass() : CreateHash<THash_SHA>();
    hash->Init();
    // Update takes at most 2^31-1 bytes at a time.
    constexpr size_t kMaxPiece = 1u << 30;
    for (size_t done = 0; done < data.size();) {
        const size_t piece = std::min(kMaxPiece, data.size() - done);
        hash->Update(data.data() + done, static_cast<int32_t>(piece));
        done += piece;
    }
    hash->Final();
    if (digestBytes != nullptr) {
        const uint8_t* digest = hash->Digest();
        digestBytes->assign(digest, digest + hash->DigestSize());
    }
    return hash->DigestText(0);
}

// ---------------------------------------------------------------- MD4

THash_MD4::THash_MD4() {
    Init();
}

THash_MD4::~THash_MD4() {
    SecureWipe(Buffer, sizeof Buffer);
    SecureWipe(State, sizeof State);
    SecureWipe(DigestBytes, sizeof DigestBytes);
}

void THash_MD4::Init() {
    std::memset(Buffer, 0, sizeof Buffer);
    std::memcpy(State, kInitialState, sizeof State);
    std::memset(DigestBytes, 0, sizeof DigestBytes);
    Count = 0;
}

void THash_MD4::Update(const void* data, int32_t size) {
    if (size <= 0 || data == nullptr) return;
    const uint8_t* input = static_cast<const uint8_t*>(data);
    int32_t used = static_cast<int32_t>(Count % kBlockBytes);
    Count += static_cast<uint32_t>(size);
    if (used > 0) {
        const int32_t take = std::min(kBlockBytes - used, size);
        std::memcpy(Buffer + used, input, static_cast<size_t>(take));
        input += take;
        size -= take;
        if (used + take < kBlockBytes) return;
        Transform(Buffer);
    }
    // Whole blocks straight from the input.
    for (; size >= kBlockBytes; input += kBlockBytes, size -= kBlockBytes) Transform(input);
    if (size > 0) std::memcpy(Buffer, input, static_cast<size_t>(size));
}

void THash_MD4::PadAndTransform(bool bigEndianLength) {
    const uint64_t bits = Count * 8;
    int32_t used = static_cast<int32_t>(Count % kBlockBytes);
    Buffer[used++] = 0x80;
    if (used > kLengthOffset) {
        std::memset(Buffer + used, 0, static_cast<size_t>(kBlockBytes - used));
        Transform(Buffer);
        used = 0;
    }
    std::memset(Buffer + used, 0, static_cast<size_t>(kLengthOffset - used));
    const uint32_t high = static_cast<uint32_t>(bits >> 32);
    const uint32_t low = static_cast<uint32_t>(bits);
    if (bigEndianLength) {
        StoreBigEndian32(Buffer + kLengthOffset, high);
        StoreBigEndian32(Buffer + kLengthOffset + 4, low);
    } else {
        StoreLittleEndian32(Buffer + kLengthOffset, low);
        StoreLittleEndian32(Buffer + kLengthOffset + 4, high);
    }
    Transform(Buffer);
}

void THash_MD4::ClearWorkState() {
    std::memset(Buffer, 0, sizeof Buffer);
    std::memset(State, 0, sizeof State);
    Count = 0;
}

void THash_MD4::Final() {
    PadAndTransform(false);
    for (int i = 0; i < 4; ++i) StoreLittleEndian32(DigestBytes + 4 * i, State[i]);
    ClearWorkState();
}

const uint8_t* THash_MD4::Digest() const {
    return DigestBytes;
}

void THash_MD4::Transform(const uint8_t* block) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian32(block + 4 * i);
    uint32_t a = State[0], b = State[1], c = State[2], d = State[3];

    auto f = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (~u & w); };
    auto g = [](uint32_t u, uint32_t v, uint32_t w) { return (u & v) | (u & w) | (v & w); };
    auto h = [](uint32_t u, uint32_t v, uint32_t w) { return u ^ v ^ w; };

    // Round 1: words in order, shifts 3 7 11 19.
    for (int i = 0; i < 16; i += 4) {
        a = RotateLeft32(a + f(b, c, d) + x[i], 3);
        d = RotateLeft32(d + f(a, b, c) + x[i + 1], 7);
        c = RotateLeft32(c + f(d, a, b) + x[i + 2], 11);
        b = RotateLeft32(b + f(c, d, a) + x[i + 3], 19);
    }
    // Round 2: words by column, shifts 3 5 9 13.
    for (int i = 0; i < 4; ++i) {
        a = RotateLeft32(a + g(b, c, d) + x[i] + kMd4Round2, 3);
        d = RotateLeft32(d + g(a, b, c) + x[i + 4] + kMd4Round2, 5);
        c = RotateLeft32(c + g(d, a, b) + x[i + 8] + kMd4Round2, 9);
        b = RotateLeft32(b + g(c, d, a) + x[i + 12] + kMd4Round2, 13);
    }
    // Round 3: words in bit-reversed order 0 8 4 12 2 10 6 14 ..., shifts 3 9 11 15.
    constexpr int kRound3Start[4] = {0, 2, 1, 3};
    for (int start : kRound3Start) {
        a = RotateLeft32(a + h(b, c, d) + x[start] + kMd4Round3, 3);
        d = RotateLeft32(d + h(a, b, c) + x[start + 8] + kMd4Round3, 9);
        c = RotateLeft32(c + h(d, a, b) + x[start + 4] + kMd4Round3, 11);
        b = RotateLeft32(b + h(c, d, a) + x[start + 12] + kMd4Round3, 15);
    }
    State[0] += a;
    State[1] += b;
    State[2] += c;
    State[3] += d;
}

// ---------------------------------------------------------------- SHA

void THash_SHA::Final() {
    PadAndTransform(true);
    for (int i = 0; i < 5; ++i) StoreBigEndian32(DigestBytes + 4 * i, State[i]);
    ClearWorkState();
}

void THash_SHA::Transform(const uint8_t* block) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = LoadBigEndian32(block + 4 * t);
    // The rotate of the schedule is what SHA-1 added; without it this is SHA-0.
    if (Rotate) {
        for (int t = 16; t < 80; ++t)
            w[t] = RotateLeft32(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    } else {
        for (int t = 16; t < 80; ++t) w[t] = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];
    }

    uint32_t a = State[0], b = State[1], c = State[2], d = State[3], e = State[4];
    auto step = [&](uint32_t f, uint32_t k, uint32_t word) {
        const uint32_t next = RotateLeft32(a, 5) + f + e + k + word;
        e = d;
        d = c;
        c = RotateLeft32(b, 30);
        b = a;
        a = next;
    };
    int t = 0;
    for (; t < 20; ++t) step((b & c) | (~b & d), kSha1, w[t]);
    for (; t < 40; ++t) step(b ^ c ^ d, kSha2, w[t]);
    for (; t < 60; ++t) step((b & c) | (b & d) | (c & d), kSha3, w[t]);
    for (; t < 80; ++t) step(b ^ c ^ d, kSha4, w[t]);
    State[0] += a;
    State[1] += b;
    State[2] += c;
    State[3] += d;
    State[4] += e;
}
