#pragma once
// Block cipher base class with its buffer modes and password-derived keys,
// the Blowfish cipher, and the MD4 / SHA-0 hashes with their text forms.
// Stored database files depend on every byte these produce.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Raised by the ciphers; ErrorCode 3 means "not initialised".
class EEncryptException : public std::runtime_error {
  public:
    EEncryptException(const std::string& message, int32_t errorCode)
        : std::runtime_error(message), ErrorCode(errorCode) {}
    int32_t ErrorCode;
};

// ---------------------------------------------------------------- hashes

class THash {
  public:
    THash() = default;
    virtual ~THash();
    THash(const THash&) = delete;
    THash& operator=(const THash&) = delete;

    virtual const char* ClassName() const { return "THash"; }
    virtual void Init() {}
    virtual void Update(const void* data, int32_t size);
    virtual void Final() {}
    virtual const uint8_t* Digest() const;
    virtual int32_t DigestSize() const { return 0; }

    // Format 0 is the default (64); 64 Base64, 16 upper-case hex, anything
    // else the raw digest bytes.
    std::string DigestText(int32_t format = 0) const;
};

// MD4 of RFC 1320 (16-byte digest); also the block machinery THash_SHA reuses.
class THash_MD4 : public THash {
  public:
    THash_MD4();
    ~THash_MD4() override;
    const char* ClassName() const override { return "THash_MD4"; }
    void Init() override;
    void Update(const void* data, int32_t size) override;
    void Final() override;
    const uint8_t* Digest() const override;
    int32_t DigestSize() const override { return 16; }

  protected:
    static constexpr int32_t kBlockBytes = 64;
    static constexpr int32_t kLengthOffset = 56;  // the bit count fills bytes 56..63

    virtual void Transform(const uint8_t* block);
    // Appends 0x80, zeros and the message length in bits (64 bits, big- or
    // little-endian) and transforms the last block(s).
    void PadAndTransform(bool bigEndianLength);
    // Clears the block buffer, the state words and the count once the digest
    // has been taken, so no intermediate value outlives Final.
    void ClearWorkState();

    uint64_t Count = 0;                // bytes hashed so far
    uint8_t Buffer[kBlockBytes] = {};  // partial block
    uint32_t State[10] = {};           // ten state words; MD4 uses four, SHA five
    mutable uint8_t DigestBytes[20] = {};
};

// The first Secure Hash Algorithm of FIPS 180 (SHA-0: no rotate in the
// message schedule unless the rotate switch is set, which nothing does).
class THash_SHA : public THash_MD4 {
  public:
    const char* ClassName() const override { return "THash_SHA"; }
    void Final() override;
    int32_t DigestSize() const override { return 20; }
    bool Rotate = false;

  protected:
    void Transform(const uint8_t* block) override;
};

// Stand-in for a class reference: a factory of the hash class.
using THashClass = std::unique_ptr<THash> (*)();
template <class H>
std::unique_ptr<THash> CreateHash() {
    return std::make_unique<H>();
}

// Digest of Data as DigestText(0); the raw digest is copied to *digestBytes
// when given. A null hashClass means the default hash class, THash_SHA.
std::string HashString(THashClass hashClass, std::string_view data,
                       std::vector<uint8_t>* digestBytes = nullptr);

// ---------------------------------------------------------------- ciphers

// Base of the block ciphers. Modes 0-4 process whole buffers; Feedback
// carries over between calls until Reset.
class TEncrypt {
  public:
    virtual ~TEncrypt();
    TEncrypt(const TEncrypt&) = delete;
    TEncrypt& operator=(const TEncrypt&) = delete;

    static constexpr uint8_t kFlagKeySet = 0;           // a key came through InitKey
    static constexpr uint8_t kFlagInitialized = 9;      // key schedule and vector in place
    static constexpr int32_t kErrorInvalidKeySize = 2;  // Init with no key bytes
    static constexpr int32_t kErrorNotInitialized = 3;
    static constexpr int32_t kErrorInvalidMode = 4;  // Mode above kLastMode
    static constexpr uint8_t kLastMode = 4;

    virtual const char* ClassName() const { return "TEncrypt"; }

    uint8_t Mode() const { return FMode; }
    void SetMode(uint8_t mode) { FMode = mode; }
    int32_t BlockSize() const { return FBlockSize; }
    int32_t KeySize() const { return FKeySize; }
    int32_t UserSize() const { return FUserSize; }
    bool HasFlag(uint8_t bit) const { return (FFlags >> bit) & 1u; }
    virtual void SetFlag(uint8_t bit, bool on);

    // Key schedule from Size raw key bytes; IVector points at BlockSize bytes
    // or is null.
    virtual void Init(const void* key, int32_t size, const void* ivector);
    // Key = the hash digest of Key; the digest is then overwritten with its
    // own encryption.
    void InitKey(std::string_view key, const void* ivector = nullptr);
    void EncryptBuffer(const void* source, void* dest, int32_t size);
    void DecryptBuffer(const void* source, void* dest, int32_t size);
    // Count records of Size bytes each, Stride bytes apart from Records,
    // decrypted in place, every one from the initial vector: the same bytes
    // as Reset followed by DecryptBuffer for each record in turn. Feedback is
    // left at the initial vector.
    void DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size);
    virtual void Reset();
    virtual void Wipe();

    virtual void EncipherBlock(void* block) { (void)block; }
    virtual void DecipherBlock(void* block) { (void)block; }
    // Count independent blocks, BlockSize bytes each and back to back, in
    // place; the same as EncipherBlock / DecipherBlock on each in turn.
    virtual void EncipherBlocks(void* blocks, int32_t count);
    virtual void DecipherBlocks(void* blocks, int32_t count);
    // DecipherBlocks(Blocks, Count) and EncipherBlock(Block): the shape of a
    // mode 0 decryption that ends in a part shorter than a block.
    virtual void DecipherBlocksAndEncipher(void* blocks, int32_t count, void* block);

  protected:
    TEncrypt(int32_t blockSize, int32_t keySize, int32_t userSize);

    // The two steps around a cipher's own key schedule.
    void InitBegin(int32_t& size);
    void InitEnd(const void* ivector);

    uint8_t FMode = 0;
    std::unique_ptr<THash> FHash;  // created on first use from FHashClass
    THashClass FHashClass;
    int32_t FKeySize;
    int32_t FBlockSize;
    int32_t FUserSize;
    std::vector<uint8_t> FBuffer;    // work block
    std::vector<uint8_t> FVector;    // initial vector
    std::vector<uint8_t> FFeedback;  // chaining register
    std::vector<uint32_t> FUser;     // key schedule area, UserSize bytes as words
    uint32_t FFlags = 0;

  private:
    void CheckInitialized() const;
    void Process(bool encrypt, const void* source, void* dest, int32_t size);
};

// Blowfish (block 8, key 56, schedule 4168 = four S-boxes + P-array).
class TEnc_Blowfish : public TEncrypt {
  public:
    TEnc_Blowfish();
    const char* ClassName() const override { return "TEnc_Blowfish"; }
    void Init(const void* key, int32_t size, const void* ivector) override;
    void EncipherBlock(void* block) override;
    void DecipherBlock(void* block) override;
    // Several blocks go through the rounds side by side (see kLanes).
    void EncipherBlocks(void* blocks, int32_t count) override;
    void DecipherBlocks(void* blocks, int32_t count) override;
    void DecipherBlocksAndEncipher(void* blocks, int32_t count, void* block) override;

    static constexpr int32_t kBlockSize = 8;
    static constexpr int32_t kKeySize = 56;
    static constexpr int32_t kUserSize = 4168;  // four S-boxes of 256 words + 18 P words

  private:
    void Encipher(uint32_t& left, uint32_t& right) const;
    template <bool Decipher>
    void CipherBlocks(uint8_t* blocks, int32_t count) const;
    const uint32_t* SBoxes() const { return FUser.data(); }
    const uint32_t* PArray() const;
};
