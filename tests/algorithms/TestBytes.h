#pragma once
// Byte-string helpers shared by the algorithm tests.

#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes FromHex(std::string_view hex) {
    auto nibble = [](char c) -> uint8_t {
        if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
        throw std::invalid_argument("not a hex digit");
    };
    Bytes bytes;
    std::string digits;
    for (char c : hex)
        if (c != ' ') digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
    return bytes;
}

inline std::string ToHex(const uint8_t* data, size_t size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

inline std::string ToHex(const Bytes& bytes) {
    return ToHex(bytes.data(), bytes.size());
}

inline std::string AsString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Pseudo-random bytes from a fixed seed, so every run checks the same cases.
class TByteSource {
  public:
    explicit TByteSource(uint32_t seed) : engine_(seed) {}
    Bytes Next(size_t size) {
        Bytes bytes(size);
        for (auto& b : bytes) b = static_cast<uint8_t>(engine_());
        return bytes;
    }
    int Between(int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(engine_);
    }

  private:
    std::mt19937 engine_;
};
