#pragma once
// A database image behind a stream that keeps every write the engine makes
// to it, so that a test can rebuild the file as a power cut after any one of
// those writes leaves it: the image before the operation with the first n
// writes applied.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "algorithms/Stream.h"

namespace writelog {

struct TWrite {
    int64_t Position = 0;
    std::vector<uint8_t> Bytes;
};

class TWriteLogStream final : public TStream {
  public:
    explicit TWriteLogStream(const std::vector<uint8_t>& image) {
        FImage.Write(image.data(), static_cast<int32_t>(image.size()));
        FImage.SetPosition(0);
    }

    int32_t Read(void* buffer, int32_t count) override { return FImage.Read(buffer, count); }
    int32_t Write(const void* buffer, int32_t count) override {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        FWrites.push_back(TWrite{FImage.Position(), std::vector<uint8_t>(bytes, bytes + count)});
        return FImage.Write(buffer, count);
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        return FImage.Seek(offset, origin);
    }
    // Nothing of the engine's resizes a file; a test that sees this fail
    // learns that its log misses a change.
    void SetSize(int64_t size) override {
        ++FResizes;
        FImage.SetSize(size);
    }

    const std::vector<TWrite>& Writes() const { return FWrites; }
    void ForgetWrites() { FWrites.clear(); }
    int Resizes() const { return FResizes; }
    std::vector<uint8_t> Image() const {
        return std::vector<uint8_t>(FImage.Memory(), FImage.Memory() + FImage.Length());
    }

  private:
    TMemoryStream FImage;
    std::vector<TWrite> FWrites;
    int FResizes = 0;
};

// Base with the first Count of Writes applied, as a cut after them leaves it.
inline std::vector<uint8_t> AfterWrites(std::vector<uint8_t> base,
                                        const std::vector<TWrite>& writes, size_t count) {
    for (size_t i = 0; i < count && i < writes.size(); ++i) {
        const TWrite& write = writes[i];
        const auto end = static_cast<size_t>(write.Position) + write.Bytes.size();
        if (base.size() < end) base.resize(end, 0);
        std::copy(write.Bytes.begin(), write.Bytes.end(), base.begin() + write.Position);
    }
    return base;
}

}  // namespace writelog
