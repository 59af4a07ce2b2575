#pragma once
// Clearing memory that held key material or digests. A plain memset before a
// buffer is freed may be removed by the optimiser; stores through a volatile
// pointer may not.

#include <cstddef>

inline void SecureWipe(void* memory, std::size_t size) {
    volatile unsigned char* bytes = static_cast<volatile unsigned char*>(memory);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = 0;
}
