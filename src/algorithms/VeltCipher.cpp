// The block cipher base class with its keys derived from a password (the
// buffer modes themselves are in CipherModes.h), and the Blowfish cipher.
//
// Blowfish key schedule area (UserSize = 4168 bytes, kept as 1042 words):
//
//   words    0 ..  255   S-box 1
//   words  256 ..  511   S-box 2
//   words  512 ..  767   S-box 3
//   words  768 .. 1023   S-box 4
//   words 1024 .. 1041   P-array (18 words)
//
// A block is two big-endian words: bytes 0..3 the left half, 4..7 the right.
// Mode 0 is the one every stored record is enciphered with; its output for a
// given key, vector and input must never change.

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "algorithms/BlowfishTables.h"
#include "algorithms/CipherModes.h"
#include "algorithms/Endian.h"
#include "algorithms/SecureWipe.h"
#include "algorithms/VeltCipher.h"

namespace {

// The block size the buffer modes are built for; a cipher with another block
// size needs its own instantiation of TBlockModes.
constexpr int32_t kModeBlockSize = 8;
constexpr uint8_t kWipedVectorByte = 0xFF;
constexpr uint8_t kMaxFlagBit = 31;

using velt_blowfish::kInitialP;
using velt_blowfish::kInitialS;
using velt_blowfish::kPSize;
using velt_blowfish::kSBoxes;
using velt_blowfish::kSBoxSize;

constexpr int kPOffset = kSBoxes * kSBoxSize;  // word index of P[0] in the schedule area

[[noreturn]] void ThrowInvalidMode(const char* className, uint8_t mode) {
    throw EEncryptException(
        std::string(className) + " has no cipher mode " + std::to_string(mode) + ".",
        TEncrypt::kErrorInvalidMode);
}

}  // namespace

// ---------------------------------------------------------------- TEncrypt

TEncrypt::TEncrypt(int32_t blockSize, int32_t keySize, int32_t userSize)
    : FHashClass(&CreateHash<THash_SHA>),
      FKeySize(keySize),
      FBlockSize(blockSize),
      FUserSize(userSize),
      FBuffer(static_cast<size_t>(blockSize)),
      FVector(static_cast<size_t>(blockSize)),
      FFeedback(static_cast<size_t>(blockSize)),
      FUser((static_cast<size_t>(userSize) + sizeof(uint32_t) - 1) / sizeof(uint32_t)) {
    if (blockSize != kModeBlockSize)
        throw std::invalid_argument("TEncrypt: block size " + std::to_string(blockSize) +
                                    " is not supported");
    TEncrypt::Wipe();
}

TEncrypt::~TEncrypt() {
    // The schedule, vector and chaining register are all derived from the key.
    SecureWipe(FBuffer.data(), FBuffer.size());
    SecureWipe(FVector.data(), FVector.size());
    SecureWipe(FFeedback.data(), FFeedback.size());
    SecureWipe(FUser.data(), FUser.size() * sizeof(uint32_t));
}

void TEncrypt::SetFlag(uint8_t bit, bool on) {
    if (bit > kMaxFlagBit) return;
    if (on)
        FFlags |= 1u << bit;
    else
        FFlags &= ~(1u << bit);
}

void TEncrypt::Init(const void* key, int32_t size, const void* ivector) {
    (void)key;
    (void)size;
    (void)ivector;
}

void TEncrypt::InitBegin(int32_t& size) {
    SetFlag(kFlagInitialized, false);
    Wipe();
    size = std::clamp(size, 0, FKeySize);
}

void TEncrypt::InitEnd(const void* ivector) {
    if (ivector != nullptr)
        std::memcpy(FVector.data(), ivector, FVector.size());
    else
        EncipherBlock(FVector.data());  // the vector is FF..FF after Wipe
    FFeedback = FVector;
    SetFlag(kFlagInitialized, true);
}

void TEncrypt::InitKey(std::string_view key, const void* ivector) {
    if (!FHash) FHash = FHashClass();
    FHash->Init();
    constexpr size_t kMaxPiece = 1u << 30;  // Update takes an int32 size
    for (size_t done = 0; done < key.size();) {
        const size_t piece = std::min(kMaxPiece, key.size() - done);
        FHash->Update(key.data() + done, static_cast<int32_t>(piece));
        done += piece;
    }
    FHash->Final();
    const int32_t digestSize = FHash->DigestSize();
    Init(FHash->Digest(), std::min(FKeySize, digestSize), ivector);
    // The hash object still holds the raw key; replace it by its own
    // encryption. The digest is a writable member of the (non-const) hash.
    uint8_t* digest = const_cast<uint8_t*>(FHash->Digest());
    EncryptBuffer(digest, digest, digestSize);
    Reset();
    SetFlag(kFlagKeySet, true);
}

void TEncrypt::Reset() {
    std::copy(FVector.begin(), FVector.end(), FFeedback.begin());
}

void TEncrypt::EncipherBlocks(void* blocks, int32_t count) {
    uint8_t* block = static_cast<uint8_t*>(blocks);
    for (int32_t i = 0; i < count; ++i, block += FBlockSize) EncipherBlock(block);
}

void TEncrypt::DecipherBlocks(void* blocks, int32_t count) {
    uint8_t* block = static_cast<uint8_t*>(blocks);
    for (int32_t i = 0; i < count; ++i, block += FBlockSize) DecipherBlock(block);
}

void TEncrypt::DecipherBlocksAndEncipher(void* blocks, int32_t count, void* block) {
    DecipherBlocks(blocks, count);
    EncipherBlock(block);
}

void TEncrypt::Wipe() {
    SetFlag(kFlagKeySet, false);
    SetFlag(kFlagInitialized, false);
    std::fill(FVector.begin(), FVector.end(), kWipedVectorByte);
    std::fill(FFeedback.begin(), FFeedback.end(), kWipedVectorByte);
    std::fill(FBuffer.begin(), FBuffer.end(), 0);
    std::fill(FUser.begin(), FUser.end(), 0);
}

void TEncrypt::CheckInitialized() const {
    if (!HasFlag(kFlagInitialized))
        throw EEncryptException(
            std::string(ClassName()) + " is not initialized call Init() or InitKey() before.",
            kErrorNotInitialized);
}

void TEncrypt::EncryptBuffer(const void* source, void* dest, int32_t size) {
    Process(true, source, dest, size);
}

void TEncrypt::DecryptBuffer(const void* source, void* dest, int32_t size) {
    Process(false, source, dest, size);
}

void TEncrypt::DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size) {
    CheckInitialized();
    if (FMode > kLastMode) ThrowInvalidMode(ClassName(), FMode);
    if (count > 0 && size > 0) {
        if (records == nullptr)
            throw std::invalid_argument(std::string(ClassName()) + ": nil buffer");
        if (stride < size)
            throw std::invalid_argument(std::string(ClassName()) + ": records overlap");
        uint8_t* first = static_cast<uint8_t*>(records);
        if (FMode == TBlockModes<kModeBlockSize>::kChained) {
            TBlockModes<kModeBlockSize> modes(*this, FBuffer.data(), FFeedback.data());
            modes.ChainedDecryptRecords(first, count, static_cast<size_t>(stride), size,
                                        FVector.data());
            std::fill(FBuffer.begin(), FBuffer.end(), 0);
        } else {
            for (int32_t i = 0; i < count; ++i) {
                uint8_t* record = first + static_cast<size_t>(i) * static_cast<size_t>(stride);
                Reset();
                Process(false, record, record, size);
            }
        }
    }
    Reset();
}

void TEncrypt::Process(bool encrypt, const void* source, void* dest, int32_t size) {
    CheckInitialized();
    if (FMode > kLastMode) ThrowInvalidMode(ClassName(), FMode);
    if (size <= 0) return;
    if (source == nullptr || dest == nullptr)
        throw std::invalid_argument(std::string(ClassName()) + ": nil buffer");
    const uint8_t* in = static_cast<const uint8_t*>(source);
    uint8_t* out = static_cast<uint8_t*>(dest);
    TBlockModes<kModeBlockSize> modes(*this, FBuffer.data(), FFeedback.data());
    if (encrypt)
        modes.Encrypt(FMode, in, out, size);
    else
        modes.Decrypt(FMode, in, out, size);
    std::fill(FBuffer.begin(), FBuffer.end(), 0);
}

// ---------------------------------------------------------------- Blowfish

TEnc_Blowfish::TEnc_Blowfish() : TEncrypt(kBlockSize, kKeySize, kUserSize) {
    static_assert(kUserSize == (kSBoxes * kSBoxSize + kPSize) * sizeof(uint32_t));
}

const uint32_t* TEnc_Blowfish::PArray() const {
    return FUser.data() + kPOffset;
}

// F(x) = ((S1[x >> 24] + S2[x >> 16 & 255]) xor S3[x >> 8 & 255]) + S4[x & 255].
#define VELT_BF_F(x)                                         \
    (((s[(x) >> 24] + s[kSBoxSize + (((x) >> 16) & 0xFF)]) ^ \
      s[2 * kSBoxSize + (((x) >> 8) & 0xFF)]) +              \
     s[3 * kSBoxSize + ((x)&0xFF)])

// Every loop below has a bound known at compile time; unrolled, each lane's
// halves live in registers and every P index is a constant.
#define VELT_UNROLL _Pragma("GCC unroll 16")

namespace {

// Lane i deciphers when bit i of DecipherLanes is set: deciphering is
// enciphering with the P-array in reverse order.
template <unsigned DecipherLanes>
constexpr int PIndex(int lane, int k) {
    return (DecipherLanes >> lane) & 1u ? kPSize - 1 - k : k;
}

// Rounds K and K + 1 of N blocks side by side.
template <int N, unsigned DecipherLanes>
[[gnu::always_inline]] inline void BlowfishRoundPair(const uint32_t* s, const uint32_t* p,
                                                     uint32_t (&l)[N], uint32_t (&r)[N], int k) {
    VELT_UNROLL
    for (int i = 0; i < N; ++i) r[i] ^= VELT_BF_F(l[i]) ^ p[PIndex<DecipherLanes>(i, k)];
    VELT_UNROLL
    for (int i = 0; i < N; ++i) l[i] ^= VELT_BF_F(r[i]) ^ p[PIndex<DecipherLanes>(i, k + 1)];
}

// The sixteen rounds on N independent blocks side by side (left halves L,
// right halves R). Each round of one block waits for its four S-box loads;
// the lanes do not depend on each other, so the processor overlaps their
// loads. With four lanes or more the loop over the rounds stays a loop:
// the lanes alone keep the processor busy, and the code stays small enough
// to be fetched quickly on the first batch after a pause. Fewer lanes (a
// single record, the key schedule) get every round unrolled.
template <int N, unsigned DecipherLanes>
[[gnu::always_inline]] inline void BlowfishRounds(const uint32_t* s, const uint32_t* p,
                                                  uint32_t (&l)[N], uint32_t (&r)[N]) {
    VELT_UNROLL
    for (int i = 0; i < N; ++i) l[i] ^= p[PIndex<DecipherLanes>(i, 0)];
    if constexpr (N >= 4) {
        _Pragma("GCC unroll 1") for (int k = 1; k < kPSize - 1; k += 2) {
            BlowfishRoundPair<N, DecipherLanes>(s, p, l, r, k);
        }
    } else {
        VELT_UNROLL
        for (int k = 1; k < kPSize - 1; k += 2) BlowfishRoundPair<N, DecipherLanes>(s, p, l, r, k);
    }
    VELT_UNROLL
    for (int i = 0; i < N; ++i) {
        const uint32_t left = l[i];
        l[i] = r[i] ^ p[PIndex<DecipherLanes>(i, kPSize - 1)];
        r[i] = left;
    }
}

template <int N>
constexpr unsigned kAllLanes = (1u << N) - 1;

// N consecutive 8-byte blocks in place, all one way.
template <int N, bool Decipher>
[[gnu::always_inline]] inline void BlowfishLanes(const uint32_t* s, const uint32_t* p,
                                                 uint8_t* blocks) {
    uint32_t l[N];
    uint32_t r[N];
    VELT_UNROLL
    for (int i = 0; i < N; ++i) LoadBigEndianPair(blocks + 8 * i, l[i], r[i]);
    BlowfishRounds<N, Decipher ? kAllLanes<N> : 0u>(s, p, l, r);
    VELT_UNROLL
    for (int i = 0; i < N; ++i) StoreBigEndianPair(blocks + 8 * i, l[i], r[i]);
}

// D consecutive blocks deciphered and one more block enciphered, together.
template <int D>
[[gnu::always_inline]] inline void BlowfishMixedLanes(const uint32_t* s, const uint32_t* p,
                                                      uint8_t* blocks, uint8_t* block) {
    uint32_t l[D + 1];
    uint32_t r[D + 1];
    VELT_UNROLL
    for (int i = 0; i < D; ++i) LoadBigEndianPair(blocks + 8 * i, l[i], r[i]);
    LoadBigEndianPair(block, l[D], r[D]);
    BlowfishRounds<D + 1, kAllLanes<D>>(s, p, l, r);
    VELT_UNROLL
    for (int i = 0; i < D; ++i) StoreBigEndianPair(blocks + 8 * i, l[i], r[i]);
    StoreBigEndianPair(block, l[D], r[D]);
}

// Blocks per turn of a long run. Four lanes' halves fit the sixteen
// general registers of x86-64; more spill some halves to the stack, but a
// round is limited by how many S-box loads are in flight rather than by
// those spills: on a read batch of history records (thread CPU time, same
// machine) four lanes took 49, six 39 and eight 35.5 ns per record, ten no
// less than eight. Fewer than eight left over go four, two and one at a time.
constexpr int32_t kLanes = 8;

}  // namespace

#undef VELT_UNROLL
#undef VELT_BF_F

void TEnc_Blowfish::Encipher(uint32_t& left, uint32_t& right) const {
    uint32_t l[1] = {left};
    uint32_t r[1] = {right};
    BlowfishRounds<1, 0u>(SBoxes(), PArray(), l, r);
    left = l[0];
    right = r[0];
}

template <bool Decipher>
void TEnc_Blowfish::CipherBlocks(uint8_t* blocks, int32_t count) const {
    const uint32_t* s = SBoxes();
    const uint32_t* p = PArray();
    int32_t done = 0;
    for (; count - done >= kLanes; done += kLanes) {
        BlowfishLanes<kLanes, Decipher>(s, p, blocks + static_cast<size_t>(done) * kBlockSize);
    }
    // The rest, fewer than kLanes blocks, in lanes of four, two and one.
    if constexpr (kLanes > 4) {
        for (; count - done >= 4; done += 4) {
            BlowfishLanes<4, Decipher>(s, p, blocks + static_cast<size_t>(done) * kBlockSize);
        }
    }
    for (; count - done >= 2; done += 2) {
        BlowfishLanes<2, Decipher>(s, p, blocks + static_cast<size_t>(done) * kBlockSize);
    }
    if (count - done >= 1) {
        BlowfishLanes<1, Decipher>(s, p, blocks + static_cast<size_t>(done) * kBlockSize);
    }
}

void TEnc_Blowfish::DecipherBlocksAndEncipher(void* blocks, int32_t count, void* block) {
    // The last (up to three) blocks to decipher share the lanes with the
    // block to encipher.
    constexpr int32_t kMixedMost = 3;
    const int32_t together = std::clamp(count, 0, kMixedMost);
    uint8_t* bytes = static_cast<uint8_t*>(blocks);
    CipherBlocks<true>(bytes, count - together);
    uint8_t* rest = bytes + static_cast<size_t>(count - together) * kBlockSize;
    uint8_t* other = static_cast<uint8_t*>(block);
    const uint32_t* s = SBoxes();
    const uint32_t* p = PArray();
    switch (together) {
        case 0:
            BlowfishLanes<1, false>(s, p, other);
            break;
        case 1:
            BlowfishMixedLanes<1>(s, p, rest, other);
            break;
        case 2:
            BlowfishMixedLanes<2>(s, p, rest, other);
            break;
        default:
            BlowfishMixedLanes<3>(s, p, rest, other);
            break;
    }
}

void TEnc_Blowfish::EncipherBlock(void* block) {
    CipherBlocks<false>(static_cast<uint8_t*>(block), 1);
}

void TEnc_Blowfish::DecipherBlock(void* block) {
    CipherBlocks<true>(static_cast<uint8_t*>(block), 1);
}

void TEnc_Blowfish::EncipherBlocks(void* blocks, int32_t count) {
    CipherBlocks<false>(static_cast<uint8_t*>(blocks), count);
}

void TEnc_Blowfish::DecipherBlocks(void* blocks, int32_t count) {
    CipherBlocks<true>(static_cast<uint8_t*>(blocks), count);
}

void TEnc_Blowfish::Init(const void* key, int32_t size, const void* ivector) {
    InitBegin(size);
    if (size <= 0 || key == nullptr)
        throw EEncryptException(std::string(ClassName()) + " needs a key of at least one byte.",
                                kErrorInvalidKeySize);
    uint32_t* s = FUser.data();
    uint32_t* p = s + kPOffset;
    std::memcpy(s, kInitialS, sizeof kInitialS);
    std::memcpy(p, kInitialP, sizeof kInitialP);

    // The key bytes are used cyclically, four to a big-endian word.
    const uint8_t* k = static_cast<const uint8_t*>(key);
    int32_t index = 0;
    for (int j = 0; j < kPSize; ++j) {
        uint32_t word = 0;
        for (int b = 0; b < 4; ++b) {
            word = (word << 8) | k[index];
            index = (index + 1) % size;
        }
        p[j] ^= word;
    }

    // Replace P and then the S-boxes, two words at a time, by the chain of
    // encipherments of the all-zero block under the schedule built so far.
    uint32_t left = 0;
    uint32_t right = 0;
    for (int j = 0; j < kPSize; j += 2) {
        Encipher(left, right);
        p[j] = left;
        p[j + 1] = right;
    }
    for (int j = 0; j < kSBoxes * kSBoxSize; j += 2) {
        Encipher(left, right);
        s[j] = left;
        s[j + 1] = right;
    }
    InitEnd(ivector);
}
