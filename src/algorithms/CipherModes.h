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
                Chained(source, dest, size, true);
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
                Chained(source, dest, size, false);
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

  private:
    struct TBlock {
        uint64_t Words[kWords];
    };

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

    void Chained(const uint8_t* source, uint8_t* dest, int32_t size, bool encrypt) {
        TBlock f = Load(feedback_);
        for (; size >= B; size -= B, source += B, dest += B) {
            const TBlock in = Load(source);
            const TBlock cipherText = encrypt ? E(Xor(in, f)) : in;
            Store(dest, encrypt ? cipherText : Xor(D(in), f));
            f = Xor(cipherText, f);
        }
        if (size > 0) {
            const TBlock g = E(f);
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
