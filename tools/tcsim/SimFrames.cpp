#include "SimFrames.h"

namespace {

constexpr size_t kCrcSize = 2;
constexpr size_t kFixedRequestSize = 8;     // functions 1..6
constexpr size_t kWriteManyHeaderSize = 7;  // functions 15, 16: up to the byte count
constexpr size_t kWriteManyByteCountOffset = 6;
constexpr size_t kSmallestFrame = 4;  // address, function, CRC

constexpr uint8_t kFnWriteMultipleCoils = 15;
constexpr uint8_t kFnWriteMultipleRegisters = 16;

// The length of the frame at the start of `bytes`, or 0 when the bytes so far
// do not tell (too few of them, or a function whose length only the silence
// after it gives).
size_t FrameLength(const TFrameBytes& bytes, bool& unknownFunction) {
    unknownFunction = false;
    if (bytes.size() < 2) return 0;
    uint8_t function = bytes[1];
    if (function >= 1 && function <= 6) return kFixedRequestSize;
    if (function == kFnWriteMultipleCoils || function == kFnWriteMultipleRegisters) {
        if (bytes.size() < kWriteManyHeaderSize) return 0;
        return kWriteManyHeaderSize + bytes[kWriteManyByteCountOffset] + kCrcSize;
    }
    unknownFunction = true;
    return 0;
}

}  // namespace

uint16_t RtuCrc16(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t n = 0; n < length; ++n) {
        crc ^= data[n];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u)
                             : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

bool RtuCrcMatches(const uint8_t* frame, size_t length) {
    if (length < kSmallestFrame) return false;
    uint16_t crc = RtuCrc16(frame, length - kCrcSize);
    return frame[length - 2] == (crc & 0xFFu) && frame[length - 1] == (crc >> 8);
}

std::string HexBytes(const uint8_t* data, size_t length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 3);
    for (size_t n = 0; n < length; ++n) {
        if (n > 0) text += ' ';
        text += kDigits[data[n] >> 4];
        text += kDigits[data[n] & 0x0F];
    }
    return text;
}

void TRequestFramer::Append(const uint8_t* data, size_t length, TSimClock::time_point now) {
    if (length == 0) return;
    pending_.insert(pending_.end(), data, data + length);
    lastByte_ = now;
}

std::optional<TFrameBytes> TRequestFramer::Next(TSimClock::time_point now) {
    if (pending_.empty()) return std::nullopt;
    const bool silent = now - lastByte_ >= kFrameGap;

    bool unknownFunction = false;
    size_t length = FrameLength(pending_, unknownFunction);
    if (length == 0) {
        // Nothing longer than a frame can be one.
        if (pending_.size() > kMaxRtuFrameSize) pending_.clear();
        if (!silent) return std::nullopt;
        // The silence ends the frame; only a function we cannot size may be
        // judged as a whole, anything else is a fragment.
        TFrameBytes frame;
        if (unknownFunction && RtuCrcMatches(pending_.data(), pending_.size())) {
            frame.swap(pending_);
        }
        pending_.clear();
        if (frame.empty()) return std::nullopt;
        return frame;
    }
    if (length > kMaxRtuFrameSize) {
        pending_.clear();
        return std::nullopt;
    }
    if (pending_.size() < length) {
        if (silent) pending_.clear();
        return std::nullopt;
    }
    const auto end = pending_.begin() + static_cast<ptrdiff_t>(length);
    if (!RtuCrcMatches(pending_.data(), length)) {
        pending_.erase(pending_.begin(), end);
        return Next(now);
    }
    TFrameBytes frame(pending_.begin(), end);
    pending_.erase(pending_.begin(), end);
    return frame;
}

std::optional<TSimClock::time_point> TRequestFramer::Deadline() const {
    if (pending_.empty()) return std::nullopt;
    return lastByte_ + kFrameGap;
}
