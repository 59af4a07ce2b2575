// Decompressing arbitrary bytes either restores a stream or raises the
// decompression error, and never leaves anything behind after a failure.

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "algorithms/Stream.h"
#include "algorithms/VeltAlgoMgr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TCompAlgo_Zlib zlib(0);
    TMemoryStream stream;
    stream.Write(data, static_cast<int32_t>(size));
    try {
        zlib.RestoreStream(&stream, &stream, -1);
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).rfind("Decompression error: ", 0) != 0) std::abort();
        if (stream.Length() != 0) std::abort();
        return 0;
    }
    // What was restored compresses and restores to itself.
    TMemoryStream copy;
    copy.Write(stream.Memory(), static_cast<int32_t>(stream.Length()));
    zlib.ProcessStream(&copy, &copy, 0);
    zlib.RestoreStream(&copy, &copy, 0);
    if (copy.Length() != stream.Length()) std::abort();
    for (int64_t i = 0; i < copy.Length(); ++i)
        if (copy.Memory()[i] != stream.Memory()[i]) std::abort();
    return 0;
}
