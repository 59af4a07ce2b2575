#pragma once
// The five buffer modes of TEncrypt, written once for a block size known at
// compile time (a multiple of 8 bytes), so a block travels as 64-bit words
// rather than through byte loops. E and D are the cipher's EncipherBlock and
// DecipherBlock, applied to the cipher's work block; F is the chaining
// register.
//
//   mode  full block                          final part of n < B bytes
//   0     enc: c := E(p ^ F), F := c ^ F      out := in ^ G[0..n), G := E(F),
//         dec: p := D(c) ^ F, F := c ^ F      then F := G ^ F
//   1     enc: c := E(p ^ F), F := c          out := in ^ E(F)[0..n), F stays
//         dec: p := D(c) ^ F, F := c
//   2     per byte: G := E(F), out := in ^ G[0], F shifts left one byte and
//         takes the ciphertext byte
//   3     per byte as 2, F takes G[0]
//   4     enc: c := E(p), dec: p := D(c)      copied unchanged
//
// Each block of the source is loaded before the same block of the
// destination is stored, so source and destination may be the same buffer.
//
// Mode 0 decryption needs no block's output to start another: F before block
// j is the vector xor the ciphertext blocks before it, and the final part's
// G := E(F) has F known up front. So the blocks of a run go to the cipher
// together (EncipherBlocks / DecipherBlocks), which lets a cipher work on
// several at once. Encryption chains each block on the one before and goes
// one block at a time.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "algorithms/VeltCipher.h"

template <int32_t B>
class TBlockModes {
    static_assert(B > 0 && B % 8 == 0, "blocks travel as 64-bit words");
    static constexpr int kWords = B / 8;

  public:
    static constexpr uint8_t kChained = 0;
    static constexpr uint8_t kCbc = 1;
    static constexpr uint8_t kCfb8 = 2;
    static constexpr uint8_t kOfb8 = 3;
    static constexpr uint8_t kEcb = 4;

    // Borrows the cipher, its work block and its chaining register (B bytes each).
    TBlockModes(TEncrypt& cipher, uint8_t* work, uint8_t* feedback)
        : cipher_(cipher), work_(work), feedback_(feedback) {}

    // The caller has checked that `mode` is 0..4.
    void Encrypt(uint8_t mode, const uint8_t* source, uint8_t* dest, int32_t size) {
        switch (mode) {
            case kChained:
                ChainedEncrypt(source, dest, size);
                break;
            case kCbc:
                Cbc(source, dest, size, true);
                break;
            case kCfb8:
            case kOfb8:
                ByteFeedback(source, dest, size, true, mode == kCfb8);
                break;
            default:
                Ecb(source, dest, size, true);
                break;
        }
    }

    void Decrypt(uint8_t mode, const uint8_t* source, uint8_t* dest, int32_t size) {
        switch (mode) {
            case kChained:
                ChainedDecrypt(source, dest, size);
                break;
            case kCbc:
                Cbc(source, dest, size, false);
                break;
            case kCfb8:
            case kOfb8:
                ByteFeedback(source, dest, size, false, mode == kCfb8);
                break;
            default:
                Ecb(source, dest, size, false);
                break;
        }
    }

    // Mode 0 decryption of Count records of Size bytes, Stride bytes apart,
    // each in place and each from Vector; the chaining register is left at
    // Vector. The full blocks of several records go to the cipher in one
    // call, then the final parts' keys of the same records in another.
    void ChainedDecryptRecords(uint8_t* records, int32_t count, size_t stride, int32_t size,
                               const uint8_t* vector) {
        const TBlock initial = Load(vector);
        const int32_t full = size / B;
        const int32_t part = size % B;
        if (full > kRunBlocks) {
            // Records longer than a run: one at a time, each a run or more.
            for (int32_t i = 0; i < count; ++i) {
                uint8_t* record = records + static_cast<size_t>(i) * stride;
                Store(feedback_, initial);
                ChainedDecrypt(record, record, size);
            }
            Store(feedback_, initial);
            return;
        }
        // Records of up to three full blocks (up to 31 bytes, a history record
        // among them) get loops of a fixed length.
        switch (full) {
            case 1:
                ChainedRecordRuns<1>(records, count, stride, full, part, initial);
                break;
            case 2:
                ChainedRecordRuns<2>(records, count, stride, full, part, initial);
                break;
            case 3:
                ChainedRecordRuns<3>(records, count, stride, full, part, initial);
                break;
            default:
                ChainedRecordRuns<0>(records, count, stride, full, part, initial);
                break;
        }
        Store(feedback_, initial);
    }

  private:
    struct TBlock {
        uint64_t Words[kWords];
    };
    static_assert(sizeof(TBlock) == B, "runs of blocks are handed to the cipher as bytes");

    // Blocks (and records) handed to the cipher in one call. A read batch of
    // history records (100 records, 200 blocks) goes in a single run: the
    // longer the run, the less its lanes wait at its start and end.
    static constexpr int32_t kRunBlocks = 256;
    static constexpr int32_t kRunRecords = 128;

    // The runs of ChainedDecryptRecords for records of Full full blocks (a
    // Fixed of 0: of Full blocks, known only now) and a Part-byte final part.
    template <int32_t Fixed>
    void ChainedRecordRuns(uint8_t* records, int32_t count, size_t stride, int32_t dynamicFull,
                           int32_t part, const TBlock& initial) {
        const int32_t full = Fixed > 0 ? Fixed : dynamicFull;
        const int32_t perRun = full > 0 ? std::min(kRunBlocks / full, kRunRecords) : kRunRecords;
        TBlock work[kRunBlocks];
        TBlock mask[kRunBlocks];
        TBlock keys[kRunRecords];
        for (int32_t first = 0; first < count; first += perRun) {
            const int32_t n = std::min(perRun, count - first);
            uint8_t* run = records + static_cast<size_t>(first) * stride;
            for (int32_t r = 0; r < n; ++r) {
                const uint8_t* record = run + static_cast<size_t>(r) * stride;
                TBlock f = initial;
                for (int32_t j = 0; j < full; ++j) {
                    const TBlock c = Load(record + j * B);
                    work[r * full + j] = c;
                    mask[r * full + j] = f;
                    f = Xor(c, f);
                }
                keys[r] = f;
            }
            cipher_.DecipherBlocks(work, n * full);
            if (part > 0) cipher_.EncipherBlocks(keys, n);
            for (int32_t r = 0; r < n; ++r) {
                uint8_t* record = run + static_cast<size_t>(r) * stride;
                for (int32_t j = 0; j < full; ++j) {
                    Store(record + j * B, Xor(work[r * full + j], mask[r * full + j]));
                }
                if (part > 0) XorPart(record + full * B, record + full * B, part, keys[r]);
            }
        }
    }

    static TBlock Load(const uint8_t* bytes) {
        TBlock block;
        std::memcpy(block.Words, bytes, B);
        return block;
    }
    static void Store(uint8_t* bytes, const TBlock& block) { std::memcpy(bytes, block.Words, B); }
    static TBlock Xor(const TBlock& a, const TBlock& b) {
        TBlock out;
        for (int i = 0; i < kWords; ++i) out.Words[i] = a.Words[i] ^ b.Words[i];
        return out;
    }

    TBlock E(const TBlock& in) {
        Store(work_, in);
        cipher_.EncipherBlock(work_);
        return Load(work_);
    }
    TBlock D(const TBlock& in) {
        Store(work_, in);
        cipher_.DecipherBlock(work_);
        return Load(work_);
    }

    // out := in ^ the first n bytes of `key`.
    static void XorPart(const uint8_t* source, uint8_t* dest, int32_t n, const TBlock& key) {
        uint8_t bytes[B];
        Store(bytes, key);
        for (int32_t i = 0; i < n; ++i) dest[i] = source[i] ^ bytes[i];
    }

    // c := E(p ^ F), F := c ^ F, one block after the other.
    void ChainedEncrypt(const uint8_t* source, uint8_t* dest, int32_t size) {
        TBlock f = Load(feedback_);
        for (; size >= B; size -= B, source += B, dest += B) {
            const TBlock cipherText = E(Xor(Load(source), f));
            Store(dest, cipherText);
            f = Xor(cipherText, f);
        }
        if (size > 0) {
            const TBlock g = E(f);
            XorPart(source, dest, size, g);
            f = Xor(g, f);
        }
        Store(feedback_, f);
    }

    // p := D(c) ^ F, F := c ^ F, runs of blocks at a time; the last run
    // goes to the cipher together with the final part's E(F).
    void ChainedDecrypt(const uint8_t* source, uint8_t* dest, int32_t size) {
        TBlock f = Load(feedback_);
        TBlock work[kRunBlocks];
        TBlock mask[kRunBlocks];
        TBlock g;
        while (size >= B) {
            const int32_t n = std::min(size / B, kRunBlocks);
            for (int32_t j = 0; j < n; ++j) {
                work[j] = Load(source + j * B);
                mask[j] = f;
                f = Xor(work[j], f);
            }
            const int32_t part = size - n * B;
            const bool lastWithPart = part > 0 && part < B;
            if (lastWithPart) {
                g = f;
                cipher_.DecipherBlocksAndEncipher(work, n, &g);
            } else {
                cipher_.DecipherBlocks(work, n);
            }
            for (int32_t j = 0; j < n; ++j) Store(dest + j * B, Xor(work[j], mask[j]));
            source += n * B;
            dest += n * B;
            size -= n * B;
            if (lastWithPart) {
                XorPart(source, dest, size, g);
                Store(feedback_, Xor(g, f));
                return;
            }
        }
        if (size > 0) {
            g = E(f);
            XorPart(source, dest, size, g);
            f = Xor(g, f);
        }
        Store(feedback_, f);
    }

    void Cbc(const uint8_t* source, uint8_t* dest, int32_t size, bool encrypt) {
        TBlock f = Load(feedback_);
        for (; size >= B; size -= B, source += B, dest += B) {
            const TBlock in = Load(source);
            const TBlock cipherText = encrypt ? E(Xor(in, f)) : in;
            Store(dest, encrypt ? cipherText : Xor(D(in), f));
            f = cipherText;
        }
        if (size > 0) XorPart(source, dest, size, E(f));
        Store(feedback_, f);
    }

    void ByteFeedback(const uint8_t* source, uint8_t* dest, int32_t size, bool encrypt,
                      bool cipherFeedback) {
        for (int32_t i = 0; i < size; ++i) {
            std::memcpy(work_, feedback_, B);
            cipher_.EncipherBlock(work_);
            const uint8_t in = source[i];
            const uint8_t out = in ^ work_[0];
            dest[i] = out;
            std::memmove(feedback_, feedback_ + 1, B - 1);
            feedback_[B - 1] = cipherFeedback ? (encrypt ? out : in) : work_[0];
        }
    }

    void Ecb(const uint8_t* source, uint8_t* dest, int32_t size, bool encrypt) {
        for (; size >= B; size -= B, source += B, dest += B) {
            const TBlock in = Load(source);
            Store(dest, encrypt ? E(in) : D(in));
        }
        if (size > 0 && source != dest) std::memmove(dest, source, static_cast<size_t>(size));
    }

    TEncrypt& cipher_;
    uint8_t* work_;
    uint8_t* feedback_;
};
