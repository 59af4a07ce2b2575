// Blowfish mode 0 on the history record and on 4 KiB buffers, side by side
// with libcrypto's Blowfish on the same data, and SHA-0 throughput. Each run
// reports bytes per second; main() prints the ratios against libcrypto.

#define OPENSSL_SUPPRESS_DEPRECATED  // the BF_* functions are deprecated in OpenSSL 3
#include <openssl/blowfish.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "algorithms/VeltAlgoMgr.h"
#include "algorithms/VeltCipher.h"

namespace {

constexpr int32_t kRecordSize = 18;  // one history sample's data part
constexpr int32_t kPageSize = 4096;
constexpr int32_t kHashSize = 1 << 16;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    return bytes;
}

TEncryptMgr& KeyedManager() {
    static TEncryptMgr* manager = [] {
        auto* m = new TEncryptMgr;
        m->SelectAlgorithm("Blowfish");
        m->SetMode(0);
        m->InitKey("");
        return m;
    }();
    return *manager;
}

const BF_KEY& LibcryptoKey() {
    static BF_KEY key = [] {
        BF_KEY k;
        const std::vector<uint8_t> raw = Pattern(20);
        BF_set_key(&k, 20, raw.data());
        return k;
    }();
    return key;
}

void SetBytes(benchmark::State& state, int64_t perIteration) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * perIteration);
}

void BM_Mode0Encrypt_Record(benchmark::State& state) {
    TEncryptMgr& manager = KeyedManager();
    std::vector<uint8_t> record = Pattern(kRecordSize);
    for (auto _ : state) {
        manager.EncryptBuffer(record.data(), record.data(), kRecordSize);
        benchmark::DoNotOptimize(record.data());
    }
    SetBytes(state, kRecordSize);
}
BENCHMARK(BM_Mode0Encrypt_Record);

void BM_Mode0Decrypt_Record(benchmark::State& state) {
    TEncryptMgr& manager = KeyedManager();
    std::vector<uint8_t> record = Pattern(kRecordSize);
    for (auto _ : state) {
        manager.DecryptBuffer(record.data(), record.data(), kRecordSize);
        benchmark::DoNotOptimize(record.data());
    }
    SetBytes(state, kRecordSize);
}
BENCHMARK(BM_Mode0Decrypt_Record);

// A read batch of the history table: 100 records of 18 bytes, 28 bytes
// apart as they lie in the file, each from the initial vector, in one call;
// beside it the same records one call each.
constexpr int32_t kBatchRecords = 100;
constexpr int32_t kStoredRecordSize = 28;
constexpr int32_t kRecordHeader = 10;

void BM_Mode0DecryptRecords_Batch(benchmark::State& state) {
    TEncryptMgr& manager = KeyedManager();
    std::vector<uint8_t> batch = Pattern(kBatchRecords * kStoredRecordSize);
    for (auto _ : state) {
        manager.DecryptRecords(batch.data() + kRecordHeader, kBatchRecords, kStoredRecordSize,
                               kRecordSize);
        benchmark::DoNotOptimize(batch.data());
    }
    SetBytes(state, kBatchRecords * kRecordSize);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatchRecords);
}
BENCHMARK(BM_Mode0DecryptRecords_Batch);

void BM_Mode0DecryptRecords_OneByOne(benchmark::State& state) {
    TEncryptMgr& manager = KeyedManager();
    std::vector<uint8_t> batch = Pattern(kBatchRecords * kStoredRecordSize);
    for (auto _ : state) {
        for (int32_t i = 0; i < kBatchRecords; ++i) {
            uint8_t* record = batch.data() + i * kStoredRecordSize + kRecordHeader;
            manager.DecryptBuffer(record, record, kRecordSize);
        }
        benchmark::DoNotOptimize(batch.data());
    }
    SetBytes(state, kBatchRecords * kRecordSize);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kBatchRecords);
}
BENCHMARK(BM_Mode0DecryptRecords_OneByOne);

void BM_Mode0Encrypt_4KiB(benchmark::State& state) {
    TEncryptMgr& manager = KeyedManager();
    std::vector<uint8_t> page = Pattern(kPageSize);
    for (auto _ : state) {
        manager.EncryptBuffer(page.data(), page.data(), kPageSize);
        benchmark::DoNotOptimize(page.data());
    }
    SetBytes(state, kPageSize);
}
BENCHMARK(BM_Mode0Encrypt_4KiB);

void BM_Mode0Decrypt_4KiB(benchmark::State& state) {
    TEncryptMgr& manager = KeyedManager();
    std::vector<uint8_t> page = Pattern(kPageSize);
    for (auto _ : state) {
        manager.DecryptBuffer(page.data(), page.data(), kPageSize);
        benchmark::DoNotOptimize(page.data());
    }
    SetBytes(state, kPageSize);
}
BENCHMARK(BM_Mode0Decrypt_4KiB);

void BM_LibcryptoCbcEncrypt_4KiB(benchmark::State& state) {
    const BF_KEY& key = LibcryptoKey();
    std::vector<uint8_t> page = Pattern(kPageSize);
    for (auto _ : state) {
        unsigned char ivec[8] = {};
        BF_cbc_encrypt(page.data(), page.data(), kPageSize, &key, ivec, BF_ENCRYPT);
        benchmark::DoNotOptimize(page.data());
    }
    SetBytes(state, kPageSize);
}
BENCHMARK(BM_LibcryptoCbcEncrypt_4KiB);

void BM_LibcryptoCbcDecrypt_4KiB(benchmark::State& state) {
    const BF_KEY& key = LibcryptoKey();
    std::vector<uint8_t> page = Pattern(kPageSize);
    for (auto _ : state) {
        unsigned char ivec[8] = {};
        BF_cbc_encrypt(page.data(), page.data(), kPageSize, &key, ivec, BF_DECRYPT);
        benchmark::DoNotOptimize(page.data());
    }
    SetBytes(state, kPageSize);
}
BENCHMARK(BM_LibcryptoCbcDecrypt_4KiB);

void BM_LibcryptoEcbEncrypt_4KiB(benchmark::State& state) {
    const BF_KEY& key = LibcryptoKey();
    std::vector<uint8_t> page = Pattern(kPageSize);
    for (auto _ : state) {
        for (int32_t i = 0; i < kPageSize; i += 8)
            BF_ecb_encrypt(page.data() + i, page.data() + i, &key, BF_ENCRYPT);
        benchmark::DoNotOptimize(page.data());
    }
    SetBytes(state, kPageSize);
}
BENCHMARK(BM_LibcryptoEcbEncrypt_4KiB);

void BM_LibcryptoCbcEncrypt_Record(benchmark::State& state) {
    const BF_KEY& key = LibcryptoKey();
    std::vector<uint8_t> record = Pattern(24);  // 18 bytes padded to whole blocks
    for (auto _ : state) {
        unsigned char ivec[8] = {};
        BF_cbc_encrypt(record.data(), record.data(), 24, &key, ivec, BF_ENCRYPT);
        benchmark::DoNotOptimize(record.data());
    }
    SetBytes(state, kRecordSize);
}
BENCHMARK(BM_LibcryptoCbcEncrypt_Record);

void BM_Sha0_64KiB(benchmark::State& state) {
    const std::vector<uint8_t> data = Pattern(kHashSize);
    THash_SHA hash;
    for (auto _ : state) {
        hash.Init();
        hash.Update(data.data(), kHashSize);
        hash.Final();
        benchmark::DoNotOptimize(hash.Digest());
    }
    SetBytes(state, kHashSize);
}
BENCHMARK(BM_Sha0_64KiB);

void BM_InitKey(benchmark::State& state) {
    TEnc_Blowfish cipher;
    for (auto _ : state) {
        cipher.InitKey("password");
        benchmark::DoNotOptimize(&cipher);
    }
}
BENCHMARK(BM_InitKey);

// Collects each run's bytes per second to print the ratios at the end.
class TRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nMB/s (10^6 bytes) and ratio to libcrypto:\n");
        for (const auto& [name, rate] : rates_)
            std::printf("  %-36s %8.1f MB/s\n", name.c_str(), rate / 1e6);
        Ratio("BM_Mode0Encrypt_4KiB", "BM_LibcryptoCbcEncrypt_4KiB");
        Ratio("BM_Mode0Decrypt_4KiB", "BM_LibcryptoCbcDecrypt_4KiB");
        Ratio("BM_Mode0Encrypt_4KiB", "BM_LibcryptoEcbEncrypt_4KiB");
        for (const char* record :
             {"BM_Mode0Encrypt_Record", "BM_Mode0Decrypt_Record", "BM_Mode0DecryptRecords_OneByOne",
              "BM_Mode0DecryptRecords_Batch"}) {
            auto it = rates_.find(record);
            if (it != rates_.end() && it->second > 0)
                std::printf("  %-36s %8.1f ns per 18-byte record\n", record,
                            kRecordSize / it->second * 1e9);
        }
    }

  private:
    void Ratio(const std::string& ours, const std::string& theirs) const {
        auto a = rates_.find(ours);
        auto b = rates_.find(theirs);
        if (a == rates_.end() || b == rates_.end() || b->second <= 0) return;
        std::printf("  %s / %s = %.2f\n", ours.c_str(), theirs.c_str(), a->second / b->second);
    }
    std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
