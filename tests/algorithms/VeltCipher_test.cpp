#include <gtest/gtest.h>

#include <functional>

#include "algorithms/BlowfishReference.h"
#include "algorithms/BlowfishTables.h"
#include "algorithms/BlowfishVectors.h"
#include "algorithms/TestBytes.h"
#include "algorithms/VeltCipher.h"

namespace {

// SHA-0 of the empty message: the Blowfish key of a database whose password
// is empty.
constexpr char kEmptyPasswordKey[] = "F96CEA198AD1DD5617AC084A3D92C6107708C0EF";

// Exposes the cipher's state to the tests.
class TBlowfishProbe : public TEnc_Blowfish {
  public:
    const Bytes& Vector() const { return FVector; }
    const Bytes& Feedback() const { return FFeedback; }
    const Bytes& WorkBlock() const { return FBuffer; }
    const THash* Hash() const { return FHash.get(); }
};

Bytes EncipherOne(TEnc_Blowfish& cipher, Bytes block) {
    cipher.EncipherBlock(block.data());
    return block;
}

Bytes DecipherOne(TEnc_Blowfish& cipher, Bytes block) {
    cipher.DecipherBlock(block.data());
    return block;
}

Bytes Encrypt(TEncrypt& cipher, const Bytes& data) {
    Bytes out(data.size(), 0xAA);
    cipher.EncryptBuffer(data.data(), out.data(), static_cast<int32_t>(data.size()));
    return out;
}

Bytes Decrypt(TEncrypt& cipher, const Bytes& data) {
    Bytes out(data.size(), 0xAA);
    cipher.DecryptBuffer(data.data(), out.data(), static_cast<int32_t>(data.size()));
    return out;
}

void ExpectNotInitialized(const std::function<void()>& call) {
    try {
        call();
        ADD_FAILURE() << "no exception";
    } catch (const EEncryptException& e) {
        EXPECT_EQ(e.ErrorCode, 3);
        EXPECT_STREQ(e.what(), "TEnc_Blowfish is not initialized call Init() or InitKey() before.");
    }
}

TEST(BlowfishTables, StartWithThePublishedDigitsOfPi) {
    EXPECT_EQ(velt_blowfish::kInitialP[0], 0x243F6A88u);
    EXPECT_EQ(velt_blowfish::kInitialP[17], 0x8979FB1Bu);
    EXPECT_EQ(velt_blowfish::kInitialS[0][0], 0xD1310BA6u);
    EXPECT_EQ(velt_blowfish::kInitialS[3][255], 0x3AC372E6u);
}

TEST(Blowfish, PublishedEcbVectors) {
    for (const auto& v : kEcbVectors) {
        const Bytes key = FromHex(v.Key);
        TEnc_Blowfish cipher;
        cipher.Init(key.data(), static_cast<int32_t>(key.size()), nullptr);
        EXPECT_EQ(ToHex(EncipherOne(cipher, FromHex(v.Plain))), v.Cipher) << v.Key;
        EXPECT_EQ(ToHex(DecipherOne(cipher, FromHex(v.Cipher))), v.Plain) << v.Key;
    }
}

TEST(Blowfish, PublishedVariableKeyLengthVectors) {
    const Bytes key = FromHex(kVariableKey);
    for (int32_t length = 1; length <= 24; ++length) {
        TEnc_Blowfish cipher;
        cipher.Init(key.data(), length, nullptr);
        const char* expected = kVariableKeyCipher[length - 1];
        EXPECT_EQ(ToHex(EncipherOne(cipher, FromHex(kVariableKeyPlain))), expected) << length;
        EXPECT_EQ(ToHex(DecipherOne(cipher, FromHex(expected))), kVariableKeyPlain) << length;
    }
}

// libcrypto's key schedule uses the key bytes cyclically exactly as ours, so
// every key of 1 to 56 bytes must give the same block function.
TEST(Blowfish, MatchesLibcryptoForRandomKeysAndBlocks) {
    TByteSource random(3);
    for (int round = 0; round < 3000; ++round) {
        const Bytes key = random.Next(static_cast<size_t>(random.Between(1, 56)));
        const TReferenceBlowfish reference(key);
        TEnc_Blowfish cipher;
        cipher.Init(key.data(), static_cast<int32_t>(key.size()), nullptr);
        for (int b = 0; b < 3; ++b) {
            const Bytes block = random.Next(8);
            ASSERT_EQ(EncipherOne(cipher, block), reference.E(block)) << ToHex(key);
            ASSERT_EQ(DecipherOne(cipher, block), reference.D(block)) << ToHex(key);
        }
    }
}

TEST(Blowfish, KeyLongerThanKeySizeIsCut) {
    TByteSource random(4);
    const Bytes key = random.Next(72);
    TEnc_Blowfish cipher;
    cipher.Init(key.data(), 72, nullptr);
    const TReferenceBlowfish reference(Bytes(key.begin(), key.begin() + 56));
    const Bytes block = random.Next(8);
    EXPECT_EQ(EncipherOne(cipher, block), reference.E(block));
}

TEST(Blowfish, InitWithoutKeyBytesRaisesAndLeavesTheCipherUnusable) {
    TEnc_Blowfish cipher;
    const uint8_t key[1] = {1};
    cipher.Init(key, 1, nullptr);
    for (int32_t size : {0, -5}) {
        try {
            cipher.Init(key, size, nullptr);
            ADD_FAILURE() << "no exception for size " << size;
        } catch (const EEncryptException& e) {
            EXPECT_EQ(e.ErrorCode, TEncrypt::kErrorInvalidKeySize);
        }
        EXPECT_FALSE(cipher.HasFlag(TEncrypt::kFlagInitialized));
    }
    uint8_t data[8] = {};
    ExpectNotInitialized([&] { cipher.EncryptBuffer(data, data, 8); });
}

TEST(Cipher, UninitialisedCipherRaisesCode3) {
    TEnc_Blowfish cipher;
    uint8_t data[16] = {};
    ExpectNotInitialized([&] { cipher.EncryptBuffer(data, data, 16); });
    ExpectNotInitialized([&] { cipher.DecryptBuffer(data, data, 16); });
    ExpectNotInitialized([&] { cipher.EncryptBuffer(data, data, 0); });
    cipher.InitKey("key");
    cipher.Wipe();
    ExpectNotInitialized([&] { cipher.DecryptBuffer(data, data, 16); });
}

TEST(Cipher, FlagsFollowInitInitKeyAndWipe) {
    TEnc_Blowfish cipher;
    EXPECT_FALSE(cipher.HasFlag(TEncrypt::kFlagKeySet));
    EXPECT_FALSE(cipher.HasFlag(TEncrypt::kFlagInitialized));
    const uint8_t key[4] = {1, 2, 3, 4};
    cipher.Init(key, 4, nullptr);
    EXPECT_FALSE(cipher.HasFlag(TEncrypt::kFlagKeySet));
    EXPECT_TRUE(cipher.HasFlag(TEncrypt::kFlagInitialized));
    cipher.InitKey("");
    EXPECT_TRUE(cipher.HasFlag(TEncrypt::kFlagKeySet));
    EXPECT_TRUE(cipher.HasFlag(TEncrypt::kFlagInitialized));
    cipher.Wipe();
    EXPECT_FALSE(cipher.HasFlag(TEncrypt::kFlagKeySet));
    EXPECT_FALSE(cipher.HasFlag(TEncrypt::kFlagInitialized));
    EXPECT_EQ(cipher.BlockSize(), 8);
    EXPECT_EQ(cipher.KeySize(), 56);
    EXPECT_EQ(cipher.UserSize(), 4168);
}

TEST(Cipher, ModeAboveFourIsRefused) {
    TEnc_Blowfish cipher;
    cipher.InitKey("key");
    cipher.SetMode(5);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    try {
        cipher.EncryptBuffer(data, data, 8);
        ADD_FAILURE() << "no exception";
    } catch (const EEncryptException& e) {
        EXPECT_EQ(e.ErrorCode, TEncrypt::kErrorInvalidMode);
    }
    EXPECT_EQ(data[0], 1);  // nothing passed through as if enciphered
}

// The key of InitKey("") is the 20-byte SHA-0 digest of the empty message and
// the vector is E(FF x 8) under it; mode 0 output is checked against libcrypto
// plus the mode's definition.
TEST(Mode0, InitKeyOfEmptyPasswordMatchesIndependentComputation) {
    const TReferenceBlowfish reference(FromHex(kEmptyPasswordKey));
    TBlowfishProbe cipher;
    cipher.InitKey("");
    EXPECT_EQ(cipher.Vector(), reference.DefaultVector());
    EXPECT_EQ(cipher.Feedback(), reference.DefaultVector());
    TByteSource random(5);
    for (size_t n = 0; n <= 40; ++n) {
        const Bytes plain = random.Next(n);
        Bytes feedback = reference.DefaultVector();
        const Bytes expected = reference.Mode0(feedback, plain, true);
        cipher.Reset();
        EXPECT_EQ(Encrypt(cipher, plain), expected) << n;
        EXPECT_EQ(cipher.Feedback(), feedback) << n;
        cipher.Reset();
        EXPECT_EQ(Decrypt(cipher, expected), plain) << n;
    }
}

TEST(Mode0, InitKeyReplacesTheDigestByItsEncryption) {
    const TReferenceBlowfish reference(FromHex(kEmptyPasswordKey));
    TBlowfishProbe cipher;
    cipher.InitKey("");
    ASSERT_NE(cipher.Hash(), nullptr);
    const Bytes held(cipher.Hash()->Digest(), cipher.Hash()->Digest() + 20);
    Bytes feedback = reference.DefaultVector();
    EXPECT_EQ(held, reference.Mode0(feedback, FromHex(kEmptyPasswordKey), true));
    EXPECT_NE(ToHex(held), kEmptyPasswordKey);
}

TEST(Mode0, ThirteenBytesStayThirteenAndRoundTrip) {
    TEnc_Blowfish cipher;
    cipher.InitKey("password");
    Bytes data = FromHex("0102030405060708090A0B0C0D");
    Bytes buffer = data;
    buffer.push_back(0x5A);  // guard byte after the 13
    cipher.EncryptBuffer(buffer.data(), buffer.data(), 13);
    EXPECT_EQ(buffer[13], 0x5A);
    EXPECT_NE(Bytes(buffer.begin(), buffer.begin() + 13), data);
    cipher.Reset();
    cipher.DecryptBuffer(buffer.data(), buffer.data(), 13);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 13), data);
}

TEST(Mode0, ResetRepeatsTheOutputAndOmittingItChangesIt) {
    TEnc_Blowfish cipher;
    cipher.InitKey("password");
    const Bytes data = TByteSource(6).Next(18);
    const Bytes first = Encrypt(cipher, data);
    const Bytes carried = Encrypt(cipher, data);
    cipher.Reset();
    const Bytes again = Encrypt(cipher, data);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, carried);
}

TEST(Mode0, ZeroBytesAreLeftUnchanged) {
    TBlowfishProbe cipher;
    cipher.InitKey("password");
    uint8_t byte = 0x42;
    cipher.EncryptBuffer(&byte, &byte, 0);
    cipher.DecryptBuffer(&byte, &byte, -3);
    EXPECT_EQ(byte, 0x42);
    EXPECT_EQ(cipher.Feedback(), cipher.Vector());
}

TEST(Mode0, WorkBlockIsClearedAfterEachCall) {
    TBlowfishProbe cipher;
    cipher.InitKey("password");
    const Bytes data = TByteSource(7).Next(21);
    Encrypt(cipher, data);
    EXPECT_EQ(cipher.WorkBlock(), Bytes(8, 0));
    Decrypt(cipher, data);
    EXPECT_EQ(cipher.WorkBlock(), Bytes(8, 0));
}

// Every mode, against the reference, for every length 0..40, with the
// chaining register carried into a second call, and in place.
TEST(Modes, EveryModeMatchesItsDefinitionAndRoundTrips) {
    TByteSource random(8);
    const Bytes key = random.Next(16);
    const Bytes vector = random.Next(8);
    const TReferenceBlowfish reference(key);
    for (uint8_t mode = 0; mode <= TEncrypt::kLastMode; ++mode) {
        TBlowfishProbe cipher;
        cipher.SetMode(mode);
        cipher.Init(key.data(), static_cast<int32_t>(key.size()), vector.data());
        ASSERT_EQ(cipher.Vector(), vector);
        for (size_t n = 0; n <= 40; ++n) {
            const Bytes first = random.Next(n);
            const Bytes second = random.Next(n);
            auto model = [&](Bytes& feedback, const Bytes& data, bool encrypt) {
                switch (mode) {
                    case 0:
                        return reference.Mode0(feedback, data, encrypt);
                    case 1:
                        return reference.Cbc(feedback, data, encrypt);
                    case 2:
                        return reference.ByteFeedback(feedback, data, encrypt, true);
                    case 3:
                        return reference.ByteFeedback(feedback, data, encrypt, false);
                    default:
                        return reference.EcbMode(data, encrypt);
                }
            };
            Bytes feedback = vector;
            const Bytes expected1 = model(feedback, first, true);
            const Bytes expected2 = model(feedback, second, true);
            cipher.Reset();
            Bytes inPlace = first;
            cipher.EncryptBuffer(inPlace.data(), inPlace.data(), static_cast<int32_t>(n));
            ASSERT_EQ(inPlace, expected1) << "mode " << int(mode) << " length " << n;
            ASSERT_EQ(Encrypt(cipher, second), expected2)
                << "mode " << int(mode) << " length " << n;
            cipher.Reset();
            ASSERT_EQ(Decrypt(cipher, expected1), first) << "mode " << int(mode) << " length " << n;
            ASSERT_EQ(Decrypt(cipher, expected2), second)
                << "mode " << int(mode) << " length " << n;
        }
    }
}

// The published CBC vector (its first three blocks; the fourth is padded
// there, while mode 1 xors a short final part with E(F)).
TEST(Modes, CbcMatchesThePublishedChainingVector) {
    const Bytes key = FromHex("0123456789ABCDEFF0E1D2C3B4A59687");
    const Bytes vector = FromHex("FEDCBA9876543210");
    const std::string text = "7654321 Now is the time for ";
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    TEnc_Blowfish cipher;
    cipher.SetMode(1);
    cipher.Init(key.data(), static_cast<int32_t>(key.size()), vector.data());
    const Bytes out = Encrypt(cipher, data);
    EXPECT_EQ(ToHex(out).substr(0, 48), "6B77B4D63006DEE605B156E27403979358DEB9E7154616D9");
}

}  // namespace

// ------------------------------------------------------------ several blocks at once

// Block runs of every length through the lanes (runs of four, then two,
// then one) give what libcrypto gives one block at a time.
TEST(Blowfish, BlocksSideBySideMatchOneBlockAtATime) {
    TByteSource random(21);
    for (int round = 0; round < 4; ++round) {
        const Bytes key = random.Next(static_cast<size_t>(random.Between(1, 56)));
        const TReferenceBlowfish reference(key);
        TEnc_Blowfish cipher;
        cipher.Init(key.data(), static_cast<int32_t>(key.size()), nullptr);
        for (int32_t count = 0; count <= 13; ++count) {
            const Bytes blocks = random.Next(static_cast<size_t>(count) * 8 + 3);
            Bytes enciphered = blocks;
            Bytes deciphered = blocks;
            cipher.EncipherBlocks(enciphered.data(), count);
            cipher.DecipherBlocks(deciphered.data(), count);
            for (int32_t i = 0; i < count; ++i) {
                const Bytes block(blocks.begin() + 8 * i, blocks.begin() + 8 * i + 8);
                ASSERT_EQ(Bytes(enciphered.begin() + 8 * i, enciphered.begin() + 8 * i + 8),
                          reference.E(block))
                    << "block " << i << " of " << count;
                ASSERT_EQ(Bytes(deciphered.begin() + 8 * i, deciphered.begin() + 8 * i + 8),
                          reference.D(block))
                    << "block " << i << " of " << count;
            }
            // Bytes after the run are not touched.
            EXPECT_EQ(Bytes(enciphered.end() - 3, enciphered.end()),
                      Bytes(blocks.end() - 3, blocks.end()));
            EXPECT_EQ(Bytes(deciphered.end() - 3, deciphered.end()),
                      Bytes(blocks.end() - 3, blocks.end()));
        }
    }
}

TEST(Blowfish, DecipheringARunAndEncipheringOneMoreMatchesSeparateCalls) {
    TByteSource random(22);
    const Bytes key = random.Next(20);
    const TReferenceBlowfish reference(key);
    TEnc_Blowfish cipher;
    cipher.Init(key.data(), 20, nullptr);
    for (int32_t count = 0; count <= 9; ++count) {
        const Bytes blocks = random.Next(static_cast<size_t>(count) * 8);
        const Bytes extra = random.Next(8);
        Bytes run = blocks;
        Bytes one = extra;
        cipher.DecipherBlocksAndEncipher(run.data(), count, one.data());
        EXPECT_EQ(one, reference.E(extra)) << count;
        for (int32_t i = 0; i < count; ++i) {
            const Bytes block(blocks.begin() + 8 * i, blocks.begin() + 8 * i + 8);
            ASSERT_EQ(Bytes(run.begin() + 8 * i, run.begin() + 8 * i + 8), reference.D(block))
                << "block " << i << " of " << count;
        }
    }
}

namespace {

// Count records of Size bytes, Stride apart, with random filler between
// them; the filler must survive a batch call.
Bytes RecordRun(TByteSource& random, int32_t count, int32_t stride) {
    return random.Next(static_cast<size_t>(count) * static_cast<size_t>(stride) + 5);
}

Bytes OneByOne(TEncrypt& cipher, Bytes run, int32_t count, int32_t stride, int32_t size) {
    for (int32_t i = 0; i < count; ++i) {
        cipher.Reset();
        uint8_t* record = run.data() + static_cast<size_t>(i) * stride;
        cipher.DecryptBuffer(record, record, size);
    }
    cipher.Reset();
    return run;
}

}  // namespace

// The batch entry point gives, byte for byte, what one DecryptBuffer per
// record from the initial vector gives, and what the mode's definition
// gives: every length 0..40 (and a few longer than a run of the cipher),
// counts that end runs early, late and exactly, gaps between records.
TEST(Mode0, DecryptRecordsMatchesOneCallPerRecord) {
    TByteSource random(23);
    std::vector<int32_t> sizes;
    for (int32_t size = 0; size <= 40; ++size) sizes.push_back(size);
    for (int32_t size : {255, 2047, 2048, 2055, 2056, 2100}) sizes.push_back(size);
    for (int keyRound = 0; keyRound < 3; ++keyRound) {
        const Bytes key = random.Next(static_cast<size_t>(random.Between(1, 56)));
        const Bytes vector = random.Next(8);
        const TReferenceBlowfish reference(key);
        TBlowfishProbe cipher;
        cipher.Init(key.data(), static_cast<int32_t>(key.size()), vector.data());
        for (int32_t size : sizes) {
            for (int32_t count : {1, 2, 17, 51, 52, 100, 127, 128, 129, 257}) {
                if (size > 256 && count > 2) continue;
                const int32_t stride = size + random.Between(0, 12);
                const Bytes run = RecordRun(random, count, stride);
                const Bytes expected = OneByOne(cipher, run, count, stride, size);
                // A chaining register away from the vector must not matter.
                Bytes scratch = run;
                cipher.DecryptBuffer(scratch.data(), scratch.data(), 3);
                Bytes batch = run;
                cipher.DecryptRecords(batch.data(), count, stride, size);
                ASSERT_EQ(batch, expected) << "size " << size << " count " << count;
                EXPECT_EQ(cipher.Feedback(), cipher.Vector());
                EXPECT_EQ(cipher.WorkBlock(), Bytes(8, 0));
                for (int32_t i = 0; i < count; i += 7) {
                    const auto at = static_cast<size_t>(i) * stride;
                    Bytes feedback = vector;
                    const Bytes record(run.begin() + at, run.begin() + at + size);
                    ASSERT_EQ(Bytes(batch.begin() + at, batch.begin() + at + size),
                              reference.Mode0(feedback, record, false))
                        << "size " << size << " record " << i;
                }
            }
        }
    }
}

// Buffers longer than one run of blocks to the cipher, and ending in a part.
TEST(Mode0, LongBuffersMatchTheDefinition) {
    TByteSource random(25);
    const Bytes key = random.Next(20);
    const Bytes vector = random.Next(8);
    const TReferenceBlowfish reference(key);
    TEnc_Blowfish cipher;
    cipher.Init(key.data(), 20, vector.data());
    for (size_t size : {2047u, 2048u, 2049u, 2055u, 2056u, 4100u, 10003u}) {
        const Bytes data = random.Next(size);
        Bytes feedback = vector;
        const Bytes expected = reference.Mode0(feedback, data, false);
        cipher.Reset();
        ASSERT_EQ(Decrypt(cipher, data), expected) << size;
        cipher.Reset();
        feedback = vector;
        ASSERT_EQ(Encrypt(cipher, data), reference.Mode0(feedback, data, true)) << size;
    }
}

TEST(Modes, DecryptRecordsInEveryOtherModeMatchesOneCallPerRecord) {
    TByteSource random(24);
    const Bytes key = random.Next(16);
    for (uint8_t mode = 1; mode <= TEncrypt::kLastMode; ++mode) {
        TEnc_Blowfish cipher;
        cipher.SetMode(mode);
        cipher.Init(key.data(), 16, nullptr);
        for (int32_t size : {1, 8, 13, 18, 24, 40}) {
            const Bytes run = RecordRun(random, 20, size + 4);
            Bytes batch = run;
            cipher.DecryptRecords(batch.data(), 20, size + 4, size);
            ASSERT_EQ(batch, OneByOne(cipher, run, 20, size + 4, size))
                << "mode " << int(mode) << " size " << size;
        }
    }
}

TEST(Mode0, DecryptRecordsRefusesOverlapsAndAnUninitialisedCipher) {
    TEnc_Blowfish fresh;
    Bytes buffer(64, 1);
    ExpectNotInitialized([&] { fresh.DecryptRecords(buffer.data(), 2, 18, 18); });
    TEnc_Blowfish cipher;
    cipher.InitKey("records");
    EXPECT_THROW(cipher.DecryptRecords(buffer.data(), 2, 10, 18), std::invalid_argument);
    EXPECT_THROW(cipher.DecryptRecords(nullptr, 2, 18, 18), std::invalid_argument);
    // Nothing to do is no error, and leaves the bytes alone.
    cipher.DecryptRecords(buffer.data(), 0, 10, 18);
    cipher.DecryptRecords(buffer.data(), 3, 0, 0);
    EXPECT_EQ(buffer, Bytes(64, 1));
}
