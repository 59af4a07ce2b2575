#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "algorithms/Stream.h"
#include "algorithms/TestBytes.h"
#include "algorithms/VeltAlgoMgr.h"
#include "algorithms/VeltCipher.h"

namespace {

// A second Blowfish-based class, registered by the tests only: selecting it
// after "Blowfish" must replace the algorithm object.
class TEncAlgo_TestCipher final : public TEncAlgo_Base {
  public:
    explicit TEncAlgo_TestCipher(int32_t param)
        : TEncAlgo_Base(param, std::make_unique<TEnc_Blowfish>()) {}
    static const TAlgorithmClass Class;
    const TAlgorithmClass* ClassType() const override { return &Class; }
};
const TAlgorithmClass TEncAlgo_TestCipher::Class = {
    "TEncAlgo_TestCipher", [](int32_t param) -> std::unique_ptr<TDataProcessAlgo> {
        return std::make_unique<TEncAlgo_TestCipher>(param);
    }};

// Two more distinct classes for the naming rules.
const TAlgorithmClass kRenamedClass = {"TRenamed", TEncAlgo_TestCipher::Class.Create};
const TAlgorithmClass kTwinClass = {"TTwin", TEncAlgo_TestCipher::Class.Create};

std::string MessageOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no exception";
}

Bytes Encrypt(TEncryptMgr& manager, const Bytes& data) {
    Bytes out = data;
    manager.EncryptBuffer(out.data(), out.data(), static_cast<int32_t>(out.size()));
    return out;
}

Bytes Decrypt(TEncryptMgr& manager, const Bytes& data) {
    Bytes out = data;
    manager.DecryptBuffer(out.data(), out.data(), static_cast<int32_t>(out.size()));
    return out;
}

TEncryptMgr& Keyed(TEncryptMgr& manager, const std::string& password) {
    manager.SelectAlgorithm("Blowfish");
    manager.SetMode(0);
    manager.InitKey(password);
    return manager;
}

TEST(Registry, NamesAreFoundWithoutRegardToCase) {
    RegisterStandardAlgorithms();
    TEncryptMgr encryption;
    for (const char* name : {"Blowfish", "blowfish", "BLOWFISH"}) {
        EXPECT_GE(encryption.IndexOfAlgorithm(name), 0);
        encryption.SelectAlgorithm(name);
        ASSERT_NE(encryption.DPObject(), nullptr);
        EXPECT_EQ(encryption.DPObject()->ClassType(), &TEncAlgo_Blowfish::Class);
    }
    TCompressMgr compression;
    compression.SelectAlgorithm("zlib");
    EXPECT_EQ(compression.DPObject()->ClassType(), &TCompAlgo_Zlib::Class);
}

TEST(Registry, UnknownNamesRaiseTheManagersMessages) {
    TEncryptMgr encryption;
    TCompressMgr compression;
    EXPECT_EQ(MessageOf([&] { encryption.SelectAlgorithm("Twofish"); }),
              "Encryption algorithm module 'Twofish' not found");
    EXPECT_EQ(MessageOf([&] { encryption.IndexOfAlgorithm("Zlib"); }),
              "Encryption algorithm module 'Zlib' not found");
    EXPECT_EQ(MessageOf([&] { compression.SelectAlgorithm("Blowfish"); }),
              "Compression algorithm module 'Blowfish' not found");
    EXPECT_EQ(MessageOf([&] { encryption.SelectAlgorithm("Blowfis"); }),
              "Encryption algorithm module 'Blowfis' not found");
}

TEST(Registry, RegisteringAClassAgainRenamesIt) {
    RegisterEncryptAlgorithm(&kRenamedClass, "OldName");
    TEncryptMgr manager;
    const int32_t index = manager.IndexOfAlgorithm("OldName");
    RegisterEncryptAlgorithm(&kRenamedClass, "NewName");
    EXPECT_EQ(manager.IndexOfAlgorithm("newname"), index);
    EXPECT_EQ(MessageOf([&] { manager.SelectAlgorithm("OldName"); }),
              "Encryption algorithm module 'OldName' not found");
}

TEST(Registry, FirstRegisteredOfTheSameNameWins) {
    RegisterEncryptAlgorithm(&TEncAlgo_TestCipher::Class, "Twin");
    RegisterEncryptAlgorithm(&kTwinClass, "TWIN");
    TEncryptMgr manager;
    manager.SelectAlgorithm("twin");
    EXPECT_EQ(manager.DPObject()->ClassType(), &TEncAlgo_TestCipher::Class);
}

TEST(Registry, ClassOfTheWrongKindIsRefused) {
    RegisterEncryptAlgorithm(&TCompAlgo_Zlib::Class, "Squeeze");
    TEncryptMgr manager;
    Keyed(manager, "pw");
    TDataProcessAlgo* before = manager.DPObject();
    EXPECT_EQ(MessageOf([&] { manager.SelectAlgorithm("Squeeze"); }),
              "TCompAlgo_Zlib is not an encryption algorithm");
    EXPECT_EQ(manager.DPObject(), before);
}

TEST(Registry, ConcurrentFirstUseRegistersOnce) {
    std::vector<std::thread> threads;
    std::vector<int32_t> indexes(4, -2);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&indexes, i] {
            TEncryptMgr manager;
            indexes[i] = manager.IndexOfAlgorithm("Blowfish");
        });
    }
    for (auto& thread : threads) thread.join();
    for (int32_t index : indexes) EXPECT_EQ(index, indexes[0]);
    EXPECT_GE(indexes[0], 0);
}

TEST(Manager, ForwardingBeforeSelectAlgorithmRaisesFDPObjectIsNil) {
    TEncryptMgr encryption;
    TCompressMgr compression;
    TMemoryStream stream;
    uint8_t data[8] = {};
    const std::function<void()> calls[] = {
        [&] { encryption.InitKey("pw"); },
        [&] { encryption.SetMode(0); },
        [&] { encryption.Reset(); },
        [&] { encryption.EncryptBuffer(data, data, 8); },
        [&] { encryption.DecryptBuffer(data, data, 8); },
        [&] { encryption.DecryptRecords(data, 1, 8, 8); },
        [&] { encryption.ProcessStream(&stream, nullptr, -1); },
        [&] { encryption.RestoreStream(&stream, nullptr, -1); },
        [&] { compression.SetMode(1); },
        [&] { compression.ProcessStream(&stream, &stream, 0); },
        [&] { compression.RestoreStream(&stream, &stream, 0); },
    };
    for (const auto& call : calls) EXPECT_EQ(MessageOf(call), "FDPObject is nil");
}

TEST(Manager, EncryptBeforeInitKeyRaisesTheCiphersError) {
    TEncryptMgr manager;
    manager.SelectAlgorithm("Blowfish");
    uint8_t data[8] = {};
    EXPECT_EQ(MessageOf([&] { manager.EncryptBuffer(data, data, 8); }),
              "TEnc_Blowfish is not initialized call Init() or InitKey() before.");
}

TEST(Manager, DecryptingRecordsBeforeInitKeyRaisesTheCiphersError) {
    TEncryptMgr manager;
    manager.SelectAlgorithm("Blowfish");
    uint8_t data[36] = {};
    EXPECT_EQ(MessageOf([&] { manager.DecryptRecords(data, 2, 18, 18); }),
              "TEnc_Blowfish is not initialized call Init() or InitKey() before.");
}

// One batch call decrypts what one buffer call per record decrypts, and the
// next call still starts from the initial vector.
TEST(Manager, DecryptRecordsEqualsOneBufferCallPerRecord) {
    TEncryptMgr manager;
    Keyed(manager, "batch");
    TByteSource random(31);
    constexpr int32_t kCount = 37;
    constexpr int32_t kStride = 28;
    for (int32_t size : {0, 5, 8, 18, 21, 28}) {
        const Bytes run = random.Next(kCount * kStride);
        Bytes expected = run;
        for (int32_t i = 0; i < kCount; ++i) {
            manager.DecryptBuffer(expected.data() + i * kStride, expected.data() + i * kStride,
                                  size);
        }
        Bytes batch = run;
        manager.DecryptRecords(batch.data(), kCount, kStride, size);
        ASSERT_EQ(batch, expected) << "size " << size;
    }
    const Bytes record = random.Next(18);
    const Bytes sealed = Encrypt(manager, record);
    Bytes batch = sealed;
    manager.DecryptRecords(batch.data(), 1, 18, 18);
    EXPECT_EQ(batch, record);
    EXPECT_EQ(Decrypt(manager, sealed), record);
}

namespace {

// An algorithm without a batch entry point of its own, whose output shows
// how many bytes it processed since its last Reset.
class TCountingAlgo final : public TEncryptAlgo {
  public:
    TCountingAlgo() : TEncryptAlgo(0) {}
    static const TAlgorithmClass Class;
    const TAlgorithmClass* ClassType() const override { return &Class; }
    void InitKey(std::string_view) override {}
    void Reset() override { FDone = 0; }
    void EncryptBuffer(const void* source, void* dest, int32_t size) override {
        DecryptBuffer(source, dest, size);
    }
    void DecryptBuffer(const void* source, void* dest, int32_t size) override {
        const auto* in = static_cast<const uint8_t*>(source);
        auto* out = static_cast<uint8_t*>(dest);
        for (int32_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(in[i] + FDone++);
    }

  private:
    uint8_t FDone = 0;
};
const TAlgorithmClass TCountingAlgo::Class = {
    "TCountingAlgo",
    [](int32_t) -> std::unique_ptr<TDataProcessAlgo> { return std::make_unique<TCountingAlgo>(); }};

}  // namespace

TEST(Manager, AlgorithmsWithoutABatchEntryDecryptEachRecordFromTheirInitialState) {
    TCountingAlgo algorithm;
    Bytes run(12, 0);
    algorithm.DecryptBuffer(run.data(), run.data(), 2);  // leaves the state moved on
    run.assign(12, 0);
    algorithm.DecryptRecords(run.data(), 3, 4, 3);
    EXPECT_EQ(run, (Bytes{0, 1, 2, 0, 0, 1, 2, 0, 0, 1, 2, 0}));
    EXPECT_THROW(algorithm.DecryptRecords(run.data(), 3, 2, 3), std::invalid_argument);
}

TEST(Manager, SelectingTheSameClassKeepsTheObjectAndItsKey) {
    TEncryptMgr manager;
    Keyed(manager, "secret");
    const Bytes record = TByteSource(13).Next(18);
    const Bytes first = Encrypt(manager, record);
    TDataProcessAlgo* object = manager.DPObject();
    manager.SelectAlgorithm("BLOWFISH");
    EXPECT_EQ(manager.DPObject(), object);
    EXPECT_EQ(Encrypt(manager, record), first);
}

TEST(Manager, SelectingAnotherClassReplacesItAndNeedsANewKey) {
    RegisterEncryptAlgorithm(&TEncAlgo_TestCipher::Class, "TestCipher");
    TEncryptMgr manager;
    Keyed(manager, "secret");
    manager.SelectAlgorithm("TestCipher");
    EXPECT_EQ(manager.DPObject()->ClassType(), &TEncAlgo_TestCipher::Class);
    uint8_t data[8] = {};
    try {
        manager.EncryptBuffer(data, data, 8);
        ADD_FAILURE() << "no exception";
    } catch (const EEncryptException& e) {
        EXPECT_EQ(e.ErrorCode, 3);
    }
}

TEST(Manager, FailedSelectKeepsThePreviousAlgorithm) {
    TEncryptMgr manager;
    Keyed(manager, "secret");
    const Bytes record = TByteSource(14).Next(18);
    const Bytes first = Encrypt(manager, record);
    EXPECT_THROW(manager.SelectAlgorithm("Unknown"), std::runtime_error);
    EXPECT_EQ(Encrypt(manager, record), first);
}

// Every call starts from the initial vector: the same bytes give the same
// output, and records decrypt one by one in any order.
TEST(Manager, EveryBufferCallStartsFromTheInitialVector) {
    TEncryptMgr manager;
    Keyed(manager, "");
    TByteSource random(15);
    const Bytes sixteen = random.Next(16);
    EXPECT_EQ(Encrypt(manager, sixteen), Encrypt(manager, sixteen));

    const Bytes a = random.Next(18);
    const Bytes b = random.Next(18);
    const Bytes ca = Encrypt(manager, a);
    const Bytes cb = Encrypt(manager, b);
    EXPECT_EQ(Decrypt(manager, cb), b);
    EXPECT_EQ(Decrypt(manager, ca), a);

    // The same as a bare cipher keyed alike, reset before each buffer.
    TEnc_Blowfish cipher;
    cipher.InitKey("");
    Bytes direct = a;
    cipher.EncryptBuffer(direct.data(), direct.data(), 18);
    EXPECT_EQ(direct, ca);
}

TEST(Manager, ModeIsPassedToTheCipher) {
    TEncryptMgr manager;
    manager.SelectAlgorithm("Blowfish");
    manager.SetMode(4);
    auto& algorithm = static_cast<TEncAlgo_Blowfish&>(*manager.DPObject());
    EXPECT_EQ(algorithm.GetMode(), 4);
    EXPECT_EQ(algorithm.Cipher().Mode(), 4);
    manager.InitKey("k");
    const Bytes twice = Encrypt(manager, Bytes(16, 0x11));
    EXPECT_EQ(Bytes(twice.begin(), twice.begin() + 8), Bytes(twice.begin() + 8, twice.end()));
}

TEST(Manager, StreamsAreProcessedInChunksWithoutResetBetween) {
    TEncryptMgr manager;
    Keyed(manager, "stream");
    const Bytes data = TByteSource(16).Next(10003);
    const Bytes whole = Encrypt(manager, data);  // one call over everything

    TMemoryStream stream;
    stream.Write(data.data(), static_cast<int32_t>(data.size()));
    stream.SetPosition(123);
    manager.ProcessStream(&stream, nullptr, -1);  // negative: all of it, from the start
    EXPECT_EQ(Bytes(stream.Memory(), stream.Memory() + stream.Length()), whole);

    TMemoryStream restored;
    stream.SetPosition(0);
    manager.RestoreStream(&stream, &restored, static_cast<int32_t>(data.size()) + 500);
    EXPECT_EQ(Bytes(restored.Memory(), restored.Memory() + restored.Length()), data);
    EXPECT_EQ(stream.Position(), stream.Length());  // stopped where the source ended

    // A count from the current position, into another stream at its position.
    TMemoryStream part;
    part.Write("hdr", 3);
    stream.SetPosition(0);
    manager.RestoreStream(&stream, &part, 16);
    EXPECT_EQ(Bytes(part.Memory() + 3, part.Memory() + part.Length()),
              Bytes(data.begin(), data.begin() + 16));
    EXPECT_EQ(stream.Position(), 16);
}

TEST(Manager, CompressionManagerRoundTrips) {
    TCompressMgr manager;
    manager.SelectAlgorithm("Zlib");
    manager.SetMode(1);
    EXPECT_EQ(static_cast<TCompressAlgo&>(*manager.DPObject()).GetMode(), 1);
    const std::string text(5000, 'q');
    TMemoryStream stream;
    stream.Write(text.data(), static_cast<int32_t>(text.size()));
    manager.ProcessStream(&stream, &stream, 0);
    EXPECT_LT(stream.Length(), 100);
    manager.RestoreStream(&stream, &stream, 0);
    EXPECT_EQ(std::string(stream.Memory(), stream.Memory() + stream.Length()), text);
}

}  // namespace
