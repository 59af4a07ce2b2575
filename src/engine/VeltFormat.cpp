#include "engine/VeltFormat.h"

#include <algorithm>
#include <cstring>

std::string FieldText(const char* field, size_t size) {
    const void* zero = std::memchr(field, 0, size);
    const size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - field) : size;
    return std::string(field, length);
}

void SetFieldText(char* field, size_t size, std::string_view text, size_t maxLength) {
    std::memset(field, 0, size);
    const size_t n = std::min({text.size(), maxLength, size});
    if (n > 0) std::memcpy(field, text.data(), n);
}

TSignatureBlock TSignatureBlock::Standard() {
    TSignatureBlock block{};
    SetFieldText(block.Magic, sizeof block.Magic, kMagic, sizeof block.Magic);
    SetFieldText(block.Version, sizeof block.Version, kVersion, sizeof block.Version);
    return block;
}

int32_t FieldTypeWidth(uint8_t fieldType) {
    switch (fieldType & 0x7F) {
        case ftUInt8:
        case ftInt8:
        case ftBoolean:
            return 1;
        case ftUInt16:
        case ftInt16:
            return 2;
        case ftUInt32:
        case ftInt32:
        case ftSingle:
        case ftSingle2:
            return 4;
        case ftDouble:
        case ftDateTime:
            return 8;
        default:
            return 0;
    }
}

bool ValidName(std::string_view name) {
    if (name.empty()) return false;
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 32; });
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}
