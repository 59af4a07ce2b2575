#pragma once
// An independent model of the cipher for the tests: libcrypto's Blowfish for
// single blocks, and the buffer modes written out plainly from their
// definitions, one block or byte at a time.

#define OPENSSL_SUPPRESS_DEPRECATED  // the BF_* functions are deprecated in OpenSSL 3
#include <openssl/blowfish.h>

#include <algorithm>

#include "algorithms/TestBytes.h"

class TReferenceBlowfish {
  public:
    static constexpr size_t kBlock = 8;

    explicit TReferenceBlowfish(const Bytes& key) {
        BF_set_key(&key_, static_cast<int>(key.size()), key.data());
    }

    Bytes E(const Bytes& block) const { return Ecb(block, BF_ENCRYPT); }
    Bytes D(const Bytes& block) const { return Ecb(block, BF_DECRYPT); }

    // The vector a key gets when no vector is given: E(FF FF FF FF FF FF FF FF).
    Bytes DefaultVector() const { return E(Bytes(kBlock, 0xFF)); }

    // Each mode function takes the chaining register in and leaves it as the
    // mode defines it after the buffer.

    // Mode 0: c := E(p xor F), F := c xor F; a final part of n bytes is
    // xored with G := E(F) and then F := G xor F.
    Bytes Mode0(Bytes& feedback, const Bytes& data, bool encrypt) const {
        Bytes out;
        size_t i = 0;
        for (; i + kBlock <= data.size(); i += kBlock) {
            const Bytes in(data.begin() + i, data.begin() + i + kBlock);
            const Bytes result = encrypt ? E(Xor(in, feedback)) : Xor(D(in), feedback);
            const Bytes& cipher = encrypt ? result : in;
            out.insert(out.end(), result.begin(), result.end());
            feedback = Xor(cipher, feedback);
        }
        if (i < data.size()) feedback = Xor(FinalPart(feedback, data, i, out), feedback);
        return out;
    }

    // Mode 1: CBC on full blocks; a final part is xored with E(F).
    Bytes Cbc(Bytes& feedback, const Bytes& data, bool encrypt) const {
        Bytes out;
        size_t i = 0;
        for (; i + kBlock <= data.size(); i += kBlock) {
            const Bytes in(data.begin() + i, data.begin() + i + kBlock);
            const Bytes result = encrypt ? E(Xor(in, feedback)) : Xor(D(in), feedback);
            out.insert(out.end(), result.begin(), result.end());
            feedback = encrypt ? result : in;
        }
        if (i < data.size()) FinalPart(feedback, data, i, out);
        return out;
    }

    // Modes 2 (CFB) and 3 (OFB), eight bits at a time.
    Bytes ByteFeedback(Bytes& feedback, const Bytes& data, bool encrypt, bool cfb) const {
        Bytes out;
        for (uint8_t in : data) {
            const Bytes g = E(feedback);
            const uint8_t result = in ^ g[0];
            out.push_back(result);
            feedback.erase(feedback.begin());
            feedback.push_back(cfb ? (encrypt ? result : in) : g[0]);
        }
        return out;
    }

    // Mode 4: ECB on full blocks; a final part is copied.
    Bytes EcbMode(const Bytes& data, bool encrypt) const {
        Bytes out;
        size_t i = 0;
        for (; i + kBlock <= data.size(); i += kBlock) {
            const Bytes in(data.begin() + i, data.begin() + i + kBlock);
            const Bytes result = encrypt ? E(in) : D(in);
            out.insert(out.end(), result.begin(), result.end());
        }
        out.insert(out.end(), data.begin() + i, data.end());
        return out;
    }

    static Bytes Xor(const Bytes& a, const Bytes& b) {
        Bytes out(a.size());
        for (size_t i = 0; i < a.size(); ++i) out[i] = a[i] ^ b[i];
        return out;
    }

  private:
    Bytes Ecb(const Bytes& block, int direction) const {
        Bytes out(kBlock);
        BF_ecb_encrypt(block.data(), out.data(), &key_, direction);
        return out;
    }

    // Appends data[from..] xor E(feedback) to out and returns E(feedback).
    Bytes FinalPart(const Bytes& feedback, const Bytes& data, size_t from, Bytes& out) const {
        const Bytes g = E(feedback);
        for (size_t j = from; j < data.size(); ++j) out.push_back(data[j] ^ g[j - from]);
        return g;
    }

    BF_KEY key_;
};
