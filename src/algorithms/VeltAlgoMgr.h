#pragma once
// Registries of compression and encryption algorithms found by name, the
// algorithm class tree, and the two managers through which the engine uses
// one selected algorithm of each kind.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

class TStream;
class TEncrypt;
class TDataProcessAlgo;

// Stand-in for a class reference: identity is the address of the one
// TAlgorithmClass object each algorithm class defines.
struct TAlgorithmClass {
    const char* ClassName;
    std::unique_ptr<TDataProcessAlgo> (*Create)(int32_t param);
};

class TDataProcessAlgo {
  public:
    explicit TDataProcessAlgo(int32_t param) : FParam(param) {}
    virtual ~TDataProcessAlgo() = default;
    TDataProcessAlgo(const TDataProcessAlgo&) = delete;
    TDataProcessAlgo& operator=(const TDataProcessAlgo&) = delete;

    virtual const TAlgorithmClass* ClassType() const = 0;
    virtual void ProcessStream(TStream* source, TStream* dest, int32_t size) = 0;
    virtual void RestoreStream(TStream* source, TStream* dest, int32_t size) = 0;

  protected:
    int32_t FParam;  // stored, not used
};

class TCompressAlgo : public TDataProcessAlgo {
  public:
    using TDataProcessAlgo::TDataProcessAlgo;
    virtual void SetMode(uint8_t value) { (void)value; }
    virtual uint8_t GetMode() const { return 1; }
};

class TEncryptAlgo : public TDataProcessAlgo {
  public:
    using TDataProcessAlgo::TDataProcessAlgo;
    // Size bytes (all of source from its start when negative) in chunks of
    // at most 4096 bytes; dest null means source is rewritten in place.
    void ProcessStream(TStream* source, TStream* dest, int32_t size) override;
    void RestoreStream(TStream* source, TStream* dest, int32_t size) override;
    virtual void SetMode(uint8_t value) { (void)value; }
    virtual uint8_t GetMode() const { return 0; }
    virtual void InitKey(std::string_view key) = 0;
    virtual void Reset() {}
    virtual void EncryptBuffer(const void* source, void* dest, int32_t size) = 0;
    virtual void DecryptBuffer(const void* source, void* dest, int32_t size) = 0;
    // Count records of Size bytes, Stride bytes apart, decrypted in place,
    // each from the initial state: Reset, then DecryptBuffer, for each in
    // turn (which is what this base class does).
    virtual void DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size);
};

// Adapter over one owned block cipher.
class TEncAlgo_Base : public TEncryptAlgo {
  public:
    ~TEncAlgo_Base() override;
    void SetMode(uint8_t value) override;
    uint8_t GetMode() const override;
    void InitKey(std::string_view key) override;
    void Reset() override;
    void EncryptBuffer(const void* source, void* dest, int32_t size) override;
    void DecryptBuffer(const void* source, void* dest, int32_t size) override;
    void DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size) override;
    TEncrypt& Cipher() { return *FCipher; }

  protected:
    // The derived class hands over the cipher it instantiates.
    TEncAlgo_Base(int32_t param, std::unique_ptr<TEncrypt> cipher);
    std::unique_ptr<TEncrypt> FCipher;
};

class TEncAlgo_Blowfish final : public TEncAlgo_Base {
  public:
    explicit TEncAlgo_Blowfish(int32_t param);
    static const TAlgorithmClass Class;
    const TAlgorithmClass* ClassType() const override { return &Class; }
};

// Zlib compression of a memory stream in place (VeltZLib.cpp).
class TCompAlgo_Zlib final : public TCompressAlgo {
  public:
    using TCompressAlgo::TCompressAlgo;
    static const TAlgorithmClass Class;
    const TAlgorithmClass* ClassType() const override { return &Class; }
    void ProcessStream(TStream* source, TStream* dest, int32_t size) override;
    void RestoreStream(TStream* source, TStream* dest, int32_t size) override;
};

// If the class is registered already its name is replaced, else appended.
void RegisterCompressAlgorithm(const TAlgorithmClass* algorithmClass, const std::string& name);
void RegisterEncryptAlgorithm(const TAlgorithmClass* algorithmClass, const std::string& name);

// Registers "Blowfish" and "Zlib" once per process (thread-safe). Every
// TVeltDatabase constructor calls it, so no database is ever opened before the
// registries are filled, whatever the order of static initialisation.
void RegisterStandardAlgorithms();

class TDataProcessMgr {
  public:
    TDataProcessMgr() = default;
    virtual ~TDataProcessMgr() = default;
    TDataProcessMgr(const TDataProcessMgr&) = delete;
    TDataProcessMgr& operator=(const TDataProcessMgr&) = delete;

    virtual int32_t IndexOfAlgorithm(const std::string& name);
    virtual void SelectAlgorithm(const std::string& name) = 0;
    virtual void ProcessStream(TStream* source, TStream* dest, int32_t size);
    virtual void RestoreStream(TStream* source, TStream* dest, int32_t size);

    TDataProcessAlgo* DPObject() const { return FDPObject.get(); }

  protected:
    TDataProcessAlgo& Checked() const;  // raises "FDPObject is nil"
    std::unique_ptr<TDataProcessAlgo> FDPObject;
};

class TCompressMgr : public TDataProcessMgr {
  public:
    int32_t IndexOfAlgorithm(const std::string& name) override;
    void SelectAlgorithm(const std::string& name) override;
    void SetMode(uint8_t value);
};

// Every buffer and stream call ends with Reset, so each starts from the
// cipher's initial vector.
class TEncryptMgr : public TDataProcessMgr {
  public:
    int32_t IndexOfAlgorithm(const std::string& name) override;
    void SelectAlgorithm(const std::string& name) override;
    void ProcessStream(TStream* source, TStream* dest, int32_t size) override;
    void RestoreStream(TStream* source, TStream* dest, int32_t size) override;
    virtual void EncryptBuffer(const void* source, void* dest, int32_t size);
    virtual void DecryptBuffer(const void* source, void* dest, int32_t size);
    // Count records of Size bytes, Stride bytes apart, in place: the same
    // bytes as one DecryptBuffer call per record, in one call.
    virtual void DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size);
    void SetMode(uint8_t value);
    void InitKey(std::string_view key);
    void Reset();
};
