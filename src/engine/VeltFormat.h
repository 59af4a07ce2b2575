#pragma once
// The on-disk layout of a database file. All integers are little-endian on
// every host; every structure below is made of byte arrays only, so it has
// no padding, alignment 1 and exactly the size of its on-disk block.
//
//  File                                     Table definition (725, written twice)
//  +--------+------+-------------------+    +-----+----+---------------------------+
//  |      0 |   10 | signature         |    |   0 | 33 | table name                |
//  |     10 | 2048 | reserved, zero    |    |  33 |  4 | primary area offset       |
//  |   2058 |  257 | key-check block   |    |  37 |  4 | primary area count        |
//  |   2315 |   76 | algorithm block   |    |  41 |  4 | growth area offset        |
//  |   2391 |  341 | key block (enc.)  |    |  45 |  4 | growth area count         |
//  |   2732 | 1032 | table directory   |    |  49 |  4 | growth area capacity      |
//  |   3764 | 1032 | directory copy    |    |  53 |  4 | Capacity (first capacity) |
//  |   4796 |  ... | definitions and   |    |  57 |  4 | RecordSize                |
//  |        |      | record areas      |    |  61 |  4 | HeaderBlockCount          |
//  +--------+------+-------------------+    |  65 |  4 | index count 0..8          |
//                                           |  69 |648 | 8 index entries of 81     |
//  Signature (10)      Algorithm block (76) | 717 |  8 | reserved                  |
//  +---+---+---------+ +----+----+--------+ +-----+----+---------------------------+
//  | 0 | 5 | "VELT"0 | |  0 |  1 | compr. |
//  | 5 | 5 | "1.0"00 | |  1 | 33 | name   |  Index entry (81)
//  +---+---+---------+ | 34 |  1 | encr.  |  +----+----+-------------------------------+
//                      | 35 | 33 | name   |  |  0 | 33 | index name                    |
//  Directory (1032)    | 68 |  8 | rsvd   |  | 33 |  4 | head slot, -1 when empty      |
//  +---+------+------+ +----+----+--------+  | 37 |  4 | key field count 1..8          |
//  | 0 |    4 | N    |                       | 41 | 40 | 8 x (i32 offset, u8 type)     |
//  | 4 |    4 | rsvd |  Key block (341)      +----+----+-------------------------------+
//  | 8 | 1024 | offs.|  +-----+-----+---------------------+
//  +---+------+------+  |   0 |   1 | zero                |
//                       |   1 | 129 | password digest text|
//                       | 130 | 211 | zero                |
//                       +-----+-----+---------------------+
//
//  Stored record: HeaderSize = 6 + 4 x index count + 20 x HeaderBlockCount
//  +----+---+----------------------------------------------+
//  |  0 | 1 | marker 0xAA                                  |
//  |  1 | 1 | deleted flag 0/1                             |
//  |  2 | 4 | record id                                    |
//  |  6 |4k | next link per index (slot, -1 after the last)|
//  |    |20b| reserved header blocks                       |
//  | HeaderSize | RecordSize | data (encrypted when set)   |
//  +----+---+----------------------------------------------+
//
// A name field holds at most 32 single-byte characters and a zero byte; a
// reader takes the characters up to the first zero, or the whole field.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int32_t kSignatureOffset = 0;
inline constexpr int32_t kSignatureSize = 10;
inline constexpr int32_t kReservedSize = 2048;
inline constexpr int32_t kKeyCheckOffset = 2058;
inline constexpr int32_t kKeyCheckSize = 257;
inline constexpr int32_t kAlgorithmOffset = 2315;
inline constexpr int32_t kAlgorithmBlockSize = 76;
inline constexpr int32_t kKeyBlockOffset = 2391;
inline constexpr int32_t kKeyBlockSize = 341;
inline constexpr int32_t kDirectoryOffset = 2732;
inline constexpr int32_t kDirectorySize = 1032;
inline constexpr int32_t kDirectoryCopyOffset = 3764;
inline constexpr int32_t kHeaderSize = 4796;
inline constexpr int32_t kTableDefSize = 725;
inline constexpr int32_t kIndexEntrySize = 81;
inline constexpr int32_t kNameFieldSize = 33;
inline constexpr int32_t kMaxNameLength = 32;
inline constexpr int32_t kDigestFieldSize = 129;
inline constexpr int32_t kMaxDigestLength = 128;
inline constexpr int32_t kMaxTables = 256;
inline constexpr int32_t kMaxIndexes = 8;
inline constexpr int32_t kMaxKeyFields = 8;
inline constexpr int32_t kRecordFixedHeader = 6;  // marker, deleted flag, id
inline constexpr int32_t kLinkSize = 4;
inline constexpr int32_t kHeaderBlockSize = 20;
inline constexpr uint8_t kRecordMarker = 0xAA;
inline constexpr int32_t kNoSlot = -1;
inline constexpr int64_t kMaxFileSize = INT32_MAX;  // offsets are i32

inline constexpr const char* kMagic = "VELT";
inline constexpr const char* kVersion = "1.0";

// ------------------------------------------------------------ primitives

inline int32_t GetLe32(const uint8_t* p) {
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                static_cast<uint32_t>(p[2]) << 16 |
                                static_cast<uint32_t>(p[3]) << 24);
}
inline void PutLe32(uint8_t* p, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// A little-endian i32 at any alignment.
struct TLe32 {
    uint8_t Bytes[4];

    int32_t Get() const { return GetLe32(Bytes); }
    void Set(int32_t value) { PutLe32(Bytes, value); }
};

// Characters up to the first zero byte of a fixed field, or all of it.
std::string FieldText(const char* field, size_t size);
// Writes at most maxLength characters and zero-fills the rest of the field.
void SetFieldText(char* field, size_t size, std::string_view text, size_t maxLength);

struct TNameField {
    char Chars[kNameFieldSize];

    std::string Get() const { return FieldText(Chars, sizeof Chars); }
    void Set(std::string_view name) { SetFieldText(Chars, sizeof Chars, name, kMaxNameLength); }
};

// ------------------------------------------------------------ blocks

struct TSignatureBlock {
    char Magic[5];
    char Version[5];

    static TSignatureBlock Standard();
};

struct TAlgorithmBlock {
    uint8_t Compressed;
    TNameField CompressAlgorithm;
    uint8_t Encrypted;
    TNameField EncryptAlgorithm;
    uint8_t Reserved[8];
};

struct TKeyBlock {
    uint8_t Zero;
    char Digest[kDigestFieldSize];
    uint8_t Reserved[211];

    std::string DigestText() const { return FieldText(Digest, sizeof Digest); }
};

struct TKeyCheckBlock {
    uint8_t Bytes[kKeyCheckSize];
};

struct TVeltDirectory {
    TLe32 Count;
    TLe32 Reserved;
    TLe32 Offsets[kMaxTables];
};

struct TKeyField {
    TLe32 Offset;
    uint8_t FieldType;
};

struct TIndexEntry {
    TNameField Name;
    TLe32 Head;
    TLe32 KeyFieldCount;
    TKeyField Fields[kMaxKeyFields];
};

struct TTableDef {
    TNameField Name;
    TLe32 PrimaryOffset;
    TLe32 PrimaryCount;
    TLe32 GrowthOffset;
    TLe32 GrowthCount;
    TLe32 GrowthCapacity;
    TLe32 Capacity;
    TLe32 RecordSize;
    TLe32 HeaderBlockCount;
    TLe32 IndexCount;
    TIndexEntry Indexes[kMaxIndexes];
    uint8_t Reserved[8];
};

struct TRecordHeader {
    uint8_t Marker;
    uint8_t Deleted;
    TLe32 RecordId;
};

static_assert(sizeof(TLe32) == 4 && alignof(TLe32) == 1);
static_assert(sizeof(TSignatureBlock) == kSignatureSize);
static_assert(sizeof(TAlgorithmBlock) == kAlgorithmBlockSize);
static_assert(offsetof(TAlgorithmBlock, Encrypted) == 34);
static_assert(offsetof(TAlgorithmBlock, EncryptAlgorithm) == 35);
static_assert(sizeof(TKeyBlock) == kKeyBlockSize);
static_assert(sizeof(TKeyCheckBlock) == kKeyCheckSize);
static_assert(sizeof(TVeltDirectory) == kDirectorySize);
static_assert(sizeof(TKeyField) == 5);
static_assert(sizeof(TIndexEntry) == kIndexEntrySize);
static_assert(offsetof(TIndexEntry, Fields) == 41);
static_assert(sizeof(TTableDef) == kTableDefSize);
static_assert(offsetof(TTableDef, Capacity) == 53);
static_assert(offsetof(TTableDef, IndexCount) == 65);
static_assert(offsetof(TTableDef, Indexes) == 69);
static_assert(offsetof(TTableDef, Reserved) == 717);
static_assert(sizeof(TRecordHeader) == kRecordFixedHeader);
static_assert(kSignatureSize + kReservedSize == kKeyCheckOffset);
static_assert(kKeyCheckOffset + kKeyCheckSize == kAlgorithmOffset);
static_assert(kAlgorithmOffset + kAlgorithmBlockSize == kKeyBlockOffset);
static_assert(kKeyBlockOffset + kKeyBlockSize == kDirectoryOffset);
static_assert(kDirectoryOffset + kDirectorySize == kDirectoryCopyOffset);
static_assert(kDirectoryCopyOffset + kDirectorySize == kHeaderSize);

// ------------------------------------------------------------ records

// Field type codes of index keys; the width lookup uses the low 7 bits.
enum TFieldType : uint8_t {
    ftUInt8 = 0,
    ftUInt16 = 1,
    ftUInt32 = 2,
    ftInt8 = 3,
    ftInt16 = 4,
    ftInt32 = 5,
    ftDouble = 6,
    ftBoolean = 7,  // ordered as an unsigned byte
    ftSingle = 8,   // 4 bytes, ordered as an IEEE single
    ftSingle2 = 9,  // 4 bytes, ordered as an IEEE single
    ftDateTime = 10,
    ftString = 11,  // zero-terminated, bounded by the record's end
};

// Bytes a key field of this type occupies (0 for strings and unknown codes).
int32_t FieldTypeWidth(uint8_t fieldType);

constexpr int64_t HeaderSize(int64_t indexCount, int64_t headerBlockCount) {
    return kRecordFixedHeader + kLinkSize * indexCount + kHeaderBlockSize * headerBlockCount;
}
constexpr int32_t LinkOffset(int32_t indexNumber) {
    return kRecordFixedHeader + kLinkSize * indexNumber;
}

inline bool RecordDeleted(const uint8_t* stored) {
    return stored[1] != 0;
}
inline int32_t StoredRecordId(const uint8_t* stored) {
    return GetLe32(stored + 2);
}
inline int32_t StoredLink(const uint8_t* stored, int32_t indexNumber) {
    return GetLe32(stored + LinkOffset(indexNumber));
}

// Table and index names: not empty and no character below 32.
bool ValidName(std::string_view name);
// Lookups of table and index names ignore (ASCII) case.
bool SameName(std::string_view a, std::string_view b);
