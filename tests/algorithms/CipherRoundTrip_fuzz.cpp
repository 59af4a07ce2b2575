// Any key and any buffer, in every mode, decrypts back to itself, and mode 0
// keeps the length (the buffer is processed in place, guard bytes untouched).
// The buffer cut into records decrypts in one batch call exactly as it does
// one record at a time.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "algorithms/VeltCipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0] % (TEncrypt::kLastMode + 1);
    const size_t keyLength = data[1] % 64;
    data += 2;
    size -= 2;
    const size_t take = keyLength < size ? keyLength : size;
    const std::string_view key(reinterpret_cast<const char*>(data), take);
    data += take;
    size -= take;

    constexpr size_t kGuard = 8;
    std::vector<uint8_t> buffer(size + kGuard, 0xA5);
    std::memcpy(buffer.data(), data, size);
    TEnc_Blowfish cipher;
    cipher.SetMode(mode);
    cipher.InitKey(key);
    cipher.EncryptBuffer(buffer.data(), buffer.data(), static_cast<int32_t>(size));
    cipher.Reset();
    cipher.DecryptBuffer(buffer.data(), buffer.data(), static_cast<int32_t>(size));
    if (std::memcmp(buffer.data(), data, size) != 0) std::abort();
    for (size_t i = size; i < buffer.size(); ++i)
        if (buffer[i] != 0xA5) std::abort();

    const int32_t recordSize = 1 + static_cast<int32_t>(keyLength % 40);
    const int32_t stride = recordSize + static_cast<int32_t>(keyLength % 3);
    const int32_t count = static_cast<int32_t>(size / static_cast<size_t>(stride));
    std::vector<uint8_t> single = buffer;
    for (int32_t i = 0; i < count; ++i) {
        cipher.Reset();
        cipher.DecryptBuffer(single.data() + i * stride, single.data() + i * stride, recordSize);
    }
    std::vector<uint8_t> batch = buffer;
    cipher.DecryptRecords(batch.data(), count, stride, recordSize);
    if (batch != single) std::abort();
    return 0;
}
