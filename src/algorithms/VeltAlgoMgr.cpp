// The two registries of algorithm classes, the encryption branch of the
// algorithm class tree and the managers through which a database uses one
// selected algorithm of each kind.
//
// Registries are ordered lists of (name, class); names compare without regard
// to ASCII case and the first match wins. They are filled once by
// RegisterStandardAlgorithms and afterwards only read. Each lives in a
// function-local object that is never destroyed, so it can be reached from any
// static initialiser or destructor.

#include "algorithms/VeltAlgoMgr.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "algorithms/Stream.h"
#include "algorithms/VeltCipher.h"

namespace {

constexpr int32_t kStreamChunk = 4096;  // bytes per EncryptBuffer in ProcessStream

struct TAlgorithmRegistry {
    std::mutex Lock;
    std::vector<std::pair<std::string, const TAlgorithmClass*>> Entries;
};

TAlgorithmRegistry& CompressAlgorithms() {
    static TAlgorithmRegistry* registry = new TAlgorithmRegistry;
    return *registry;
}

TAlgorithmRegistry& EncryptAlgorithms() {
    static TAlgorithmRegistry* registry = new TAlgorithmRegistry;
    return *registry;
}

char FoldCase(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldCase(x) == FoldCase(y);
           });
}

void Register(TAlgorithmRegistry& registry, const TAlgorithmClass* algorithmClass,
              const std::string& name) {
    if (algorithmClass == nullptr) throw std::invalid_argument("Algorithm class is nil");
    std::lock_guard<std::mutex> guard(registry.Lock);
    for (auto& entry : registry.Entries) {
        if (entry.second == algorithmClass) {
            entry.first = name;
            return;
        }
    }
    registry.Entries.emplace_back(name, algorithmClass);
}

struct TLookup {
    int32_t Index;
    const TAlgorithmClass* Class;
};

// The position and class of the first entry called `name`; raises the
// manager's "not found" message otherwise.
TLookup Find(TAlgorithmRegistry& registry, const std::string& name, const char* kind) {
    RegisterStandardAlgorithms();
    std::lock_guard<std::mutex> guard(registry.Lock);
    for (size_t i = 0; i < registry.Entries.size(); ++i) {
        if (SameName(registry.Entries[i].first, name))
            return {static_cast<int32_t>(i), registry.Entries[i].second};
    }
    throw std::runtime_error(std::string(kind) + " algorithm module '" + name + "' not found");
}

// Creates an instance of `algorithmClass` and checks it is of kind T.
template <class T>
std::unique_ptr<TDataProcessAlgo> CreateChecked(const TAlgorithmClass* algorithmClass,
                                                const char* kind) {
    std::unique_ptr<TDataProcessAlgo> algorithm = algorithmClass->Create(0);
    if (dynamic_cast<T*>(algorithm.get()) == nullptr)
        throw std::runtime_error(std::string(algorithmClass->ClassName) + " is not " + kind +
                                 " algorithm");
    return algorithm;
}

std::unique_ptr<TDataProcessAlgo> CreateBlowfish(int32_t param) {
    return std::make_unique<TEncAlgo_Blowfish>(param);
}

enum class TDirection { Encrypt, Decrypt };

// Streams `size` bytes (all of source from its start when negative) through
// the algorithm's buffer operation in chunks, without a reset in between.
void CipherStream(TEncryptAlgo& algorithm, TStream* source, TStream* dest, int32_t size,
                  TDirection direction) {
    if (source == nullptr) throw std::invalid_argument("Source stream is nil");
    const bool inPlace = dest == nullptr || dest == source;
    int64_t remaining = size;
    if (size < 0) {
        source->SetPosition(0);
        remaining = source->Size();
    }
    uint8_t chunk[kStreamChunk];
    while (remaining > 0) {
        const int32_t want = static_cast<int32_t>(std::min<int64_t>(remaining, kStreamChunk));
        const int64_t start = source->Position();
        const int32_t got = source->Read(chunk, want);
        if (got <= 0) break;
        if (direction == TDirection::Encrypt)
            algorithm.EncryptBuffer(chunk, chunk, got);
        else
            algorithm.DecryptBuffer(chunk, chunk, got);
        if (inPlace) {
            source->SetPosition(start);
            source->Write(chunk, got);
        } else {
            dest->Write(chunk, got);
        }
        remaining -= got;
    }
}

}  // namespace

const TAlgorithmClass TEncAlgo_Blowfish::Class = {"TEncAlgo_Blowfish", &CreateBlowfish};

void RegisterCompressAlgorithm(const TAlgorithmClass* algorithmClass, const std::string& name) {
    Register(CompressAlgorithms(), algorithmClass, name);
}

void RegisterEncryptAlgorithm(const TAlgorithmClass* algorithmClass, const std::string& name) {
    Register(EncryptAlgorithms(), algorithmClass, name);
}

void RegisterStandardAlgorithms() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterEncryptAlgorithm(&TEncAlgo_Blowfish::Class, "Blowfish");
        RegisterCompressAlgorithm(&TCompAlgo_Zlib::Class, "Zlib");
    });
}

// ---------------------------------------------------------------- algorithms

void TEncryptAlgo::ProcessStream(TStream* source, TStream* dest, int32_t size) {
    CipherStream(*this, source, dest, size, TDirection::Encrypt);
}

void TEncryptAlgo::RestoreStream(TStream* source, TStream* dest, int32_t size) {
    CipherStream(*this, source, dest, size, TDirection::Decrypt);
}

void TEncryptAlgo::DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size) {
    if (count <= 0 || size <= 0) return;
    if (records == nullptr) throw std::invalid_argument("Records buffer is nil");
    if (stride < size) throw std::invalid_argument("Records overlap");
    uint8_t* record = static_cast<uint8_t*>(records);
    for (int32_t i = 0; i < count; ++i, record += stride) {
        Reset();
        DecryptBuffer(record, record, size);
    }
}

TEncAlgo_Base::TEncAlgo_Base(int32_t param, std::unique_ptr<TEncrypt> cipher)
    : TEncryptAlgo(param), FCipher(std::move(cipher)) {}

TEncAlgo_Base::~TEncAlgo_Base() = default;

void TEncAlgo_Base::SetMode(uint8_t value) {
    FCipher->SetMode(value);
}
uint8_t TEncAlgo_Base::GetMode() const {
    return FCipher->Mode();
}
void TEncAlgo_Base::InitKey(std::string_view key) {
    FCipher->InitKey(key, nullptr);
}
void TEncAlgo_Base::Reset() {
    FCipher->Reset();
}

void TEncAlgo_Base::EncryptBuffer(const void* source, void* dest, int32_t size) {
    FCipher->EncryptBuffer(source, dest, size);
}

void TEncAlgo_Base::DecryptBuffer(const void* source, void* dest, int32_t size) {
    FCipher->DecryptBuffer(source, dest, size);
}

void TEncAlgo_Base::DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size) {
    FCipher->DecryptRecords(records, count, stride, size);
}

TEncAlgo_Blowfish::TEncAlgo_Blowfish(int32_t param)
    : TEncAlgo_Base(param, std::make_unique<TEnc_Blowfish>()) {}

// ---------------------------------------------------------------- managers

int32_t TDataProcessMgr::IndexOfAlgorithm(const std::string& name) {
    (void)name;
    return -1;
}

TDataProcessAlgo& TDataProcessMgr::Checked() const {
    if (!FDPObject) throw std::runtime_error("FDPObject is nil");
    return *FDPObject;
}

void TDataProcessMgr::ProcessStream(TStream* source, TStream* dest, int32_t size) {
    Checked().ProcessStream(source, dest, size);
}

void TDataProcessMgr::RestoreStream(TStream* source, TStream* dest, int32_t size) {
    Checked().RestoreStream(source, dest, size);
}

// The managers' SelectAlgorithm is the only place FDPObject is set, and it
// checks the kind of the new object: the casts below rely on that.

int32_t TCompressMgr::IndexOfAlgorithm(const std::string& name) {
    return Find(CompressAlgorithms(), name, "Compression").Index;
}

void TCompressMgr::SelectAlgorithm(const std::string& name) {
    const TAlgorithmClass* algorithmClass = Find(CompressAlgorithms(), name, "Compression").Class;
    if (FDPObject && FDPObject->ClassType() == algorithmClass) return;
    FDPObject = CreateChecked<TCompressAlgo>(algorithmClass, "a compression");
}

void TCompressMgr::SetMode(uint8_t value) {
    static_cast<TCompressAlgo&>(Checked()).SetMode(value);
}

int32_t TEncryptMgr::IndexOfAlgorithm(const std::string& name) {
    return Find(EncryptAlgorithms(), name, "Encryption").Index;
}

void TEncryptMgr::SelectAlgorithm(const std::string& name) {
    const TAlgorithmClass* algorithmClass = Find(EncryptAlgorithms(), name, "Encryption").Class;
    if (FDPObject && FDPObject->ClassType() == algorithmClass) return;
    FDPObject = CreateChecked<TEncryptAlgo>(algorithmClass, "an encryption");
}

namespace {

// Runs `work` and then the algorithm's Reset, also when `work` raises, so a
// failed call never leaves the chaining state of a half-processed buffer for
// the next one.
template <class Work>
void ThenReset(TEncryptAlgo& algorithm, Work&& work) {
    try {
        work();
    } catch (...) {
        algorithm.Reset();
        throw;
    }
    algorithm.Reset();
}

}  // namespace

void TEncryptMgr::ProcessStream(TStream* source, TStream* dest, int32_t size) {
    auto& algorithm = static_cast<TEncryptAlgo&>(Checked());
    ThenReset(algorithm, [&] { algorithm.ProcessStream(source, dest, size); });
}

void TEncryptMgr::RestoreStream(TStream* source, TStream* dest, int32_t size) {
    auto& algorithm = static_cast<TEncryptAlgo&>(Checked());
    ThenReset(algorithm, [&] { algorithm.RestoreStream(source, dest, size); });
}

void TEncryptMgr::EncryptBuffer(const void* source, void* dest, int32_t size) {
    auto& algorithm = static_cast<TEncryptAlgo&>(Checked());
    ThenReset(algorithm, [&] { algorithm.EncryptBuffer(source, dest, size); });
}

void TEncryptMgr::DecryptBuffer(const void* source, void* dest, int32_t size) {
    auto& algorithm = static_cast<TEncryptAlgo&>(Checked());
    ThenReset(algorithm, [&] { algorithm.DecryptBuffer(source, dest, size); });
}

void TEncryptMgr::DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size) {
    auto& algorithm = static_cast<TEncryptAlgo&>(Checked());
    ThenReset(algorithm, [&] { algorithm.DecryptRecords(records, count, stride, size); });
}

void TEncryptMgr::SetMode(uint8_t value) {
    static_cast<TEncryptAlgo&>(Checked()).SetMode(value);
}

void TEncryptMgr::InitKey(std::string_view key) {
    static_cast<TEncryptAlgo&>(Checked()).InitKey(key);
}

void TEncryptMgr::Reset() {
    static_cast<TEncryptAlgo&>(Checked()).Reset();
}
