// TStream's size and the in-memory stream.
//
// A TMemoryStream's position may lie anywhere from 0 up (past the end is
// allowed, a later write fills the gap with zeros). A seek that would go
// before the start leaves the position at 0.

#include "algorithms/Stream.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {
constexpr int64_t kMaxPosition = std::numeric_limits<int64_t>::max();
}

int64_t TStream::Size() {
    const int64_t position = Position();
    const int64_t size = Seek(0, TSeekOrigin::End);
    SetPosition(position);
    return size;
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    const int64_t size = Length();
    if (count <= 0 || buffer == nullptr || position_ >= size) return 0;
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size - position_));
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0 || buffer == nullptr) return 0;
    if (position_ > kMaxPosition - count)
        throw std::length_error("TMemoryStream: stream too large");
    const int64_t end = position_ + count;
    if (end > Length()) data_.resize(static_cast<size_t>(end));
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = 0;
    switch (origin) {
        case TSeekOrigin::Beginning:
            base = 0;
            break;
        case TSeekOrigin::Current:
            base = position_;
            break;
        case TSeekOrigin::End:
            base = Length();
            break;
    }
    // Offsets come from callers' arithmetic; saturate instead of overflowing.
    if (offset < 0)
        position_ = offset < -base ? 0 : base + offset;
    else
        position_ = offset > kMaxPosition - base ? kMaxPosition : base + offset;
    return position_;
}

void TMemoryStream::SetSize(int64_t size) {
    if (size < 0) size = 0;
    data_.resize(static_cast<size_t>(size));
    if (position_ > size) position_ = size;
}

void TMemoryStream::Clear() {
    data_.clear();
    position_ = 0;
}
