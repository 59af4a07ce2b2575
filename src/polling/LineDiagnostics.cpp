#include "polling/LineDiagnostics.h"

#include <cstdio>

#include "polling/TmpProtocol.h"

namespace {

constexpr uint8_t kExceptionBit = 0x80;
// Address, function | 0x80, exception code, CRC.
constexpr size_t kExceptionSize = 5;
constexpr int32_t kExceptionCrcOffset = 3;
constexpr double kMsPerDay = 86400000.0;

const char* FunctionName(uint8_t function) {
    switch (function) {
        case kFnReadCoils:
            return "读继电器";
        case kFnReadInputRegs:
            return "读温度";
        default:
            return "未知功能";
    }
}

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

}  // namespace

TFrameKind JudgeChunk(const uint8_t* chunk, size_t length) {
    if (chunk == nullptr || length < 2) return TFrameKind::Dropped;
    const TDecodedReply reply = DecodeReply(chunk, length);
    if (reply.Accepted) return TFrameKind::Reply;
    if ((chunk[kFunctionOffset] & kExceptionBit) != 0 && length >= kExceptionSize &&
        CheckCrc16(chunk, kExceptionCrcOffset, chunk[kExceptionCrcOffset],
                   chunk[kExceptionCrcOffset + 1])) {
        return TFrameKind::Exception;
    }
    return reply.Kind != TReplyKind::None ? TFrameKind::CrcError : TFrameKind::Dropped;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t byte : bytes) {
        if (!text.empty()) text += ' ';
        text += Hex2(byte);
    }
    return text;
}

std::string DescribeFrame(const TLineFrame& frame) {
    const std::vector<uint8_t>& b = frame.Bytes;
    switch (frame.Kind) {
        case TFrameKind::Request:
            if (b.size() < 2) return "请求";
            return std::string("请求 ") + FunctionName(b[1]) + " 地址 " + std::to_string(b[0]);
        case TFrameKind::Reply: {
            // Frames judged elsewhere come in as they are: never read past them.
            if (b.empty()) return "应答";
            const TDecodedReply reply = DecodeReply(b.data(), b.size());
            std::string text = "应答 地址 " + std::to_string(b[0]);
            if (reply.Kind == TReplyKind::Relays) {
                return text + " 继电器 " + Hex2(reply.RelayFlags);
            }
            const auto& raw = reply.RawTemp;
            return text + " 温度原始值 A " + std::to_string(raw[kPhaseA]) + " B " +
                   std::to_string(raw[kPhaseB]) + " C " + std::to_string(raw[kPhaseC]) + " 铁芯 " +
                   std::to_string(raw[kIronCore]);
        }
        case TFrameKind::Exception:
            if (b.size() < 3) return "异常应答";
            return "异常应答 地址 " + std::to_string(b[0]) + " 功能 " + Hex2(b[1]) + " 异常码 " +
                   std::to_string(b[2]);
        case TFrameKind::CrcError:
            return "CRC错误";
        case TFrameKind::Dropped:
            return "丢弃";
    }
    return {};
}

std::string FrameLine(const TLineFrame& frame) {
    const char* direction = frame.Kind == TFrameKind::Request ? "发送" : "接收";
    return DateTimeToText(frame.Time) + "\t" + direction + "\t" + HexBytes(frame.Bytes) + "\t" +
           DescribeFrame(frame);
}

void TLineDiagnostics::RequestSent(const uint8_t* frame, size_t length, TDateTime monotonic,
                                   TDateTime wall) {
    // The station asks again without an answer to its last request.
    if (FOutstanding) ++FStats.TimeOuts;
    FOutstanding = true;
    FSentAt = monotonic;
    ++FStats.Requests;
    Add(TFrameKind::Request, frame, length, wall);
}

TFrameKind TLineDiagnostics::ChunkReceived(const uint8_t* chunk, size_t length, TDateTime monotonic,
                                           TDateTime wall) {
    const TFrameKind kind = JudgeChunk(chunk, length);
    Count(kind, length, monotonic, wall);
    Add(kind, chunk, length, wall);
    return kind;
}

void TLineDiagnostics::FrameReceived(TFrameKind kind, const uint8_t* bytes, size_t length,
                                     TDateTime monotonic, TDateTime wall) {
    if (bytes == nullptr) length = 0;
    Count(kind, length, monotonic, wall);
    // The exchange has matched the frame to the request: a bad one ends it.
    if (kind == TFrameKind::CrcError) FOutstanding = false;
    Add(kind, bytes, length, wall);
}

void TLineDiagnostics::TimedOut() {
    ++FStats.TimeOuts;
    FOutstanding = false;
}

void TLineDiagnostics::MonitorFrame(TFrameKind kind, const uint8_t* bytes, size_t length,
                                    TDateTime wall) {
    Add(kind, bytes, length, wall);
}

void TLineDiagnostics::Count(TFrameKind kind, size_t length, TDateTime monotonic, TDateTime wall) {
    switch (kind) {
        case TFrameKind::Reply:
            ++FStats.Replies;
            FStats.LastReply = wall;
            Answered(monotonic);
            break;
        case TFrameKind::Exception:
            ++FStats.Exceptions;
            Answered(monotonic);
            break;
        case TFrameKind::CrcError:
            ++FStats.CrcErrors;
            FStats.BytesDropped += length;
            break;
        case TFrameKind::Dropped:
            FStats.BytesDropped += length;
            break;
        case TFrameKind::Request:  // requests are counted by RequestSent
            break;
    }
}

void TLineDiagnostics::Answered(TDateTime monotonic) {
    if (!FOutstanding) return;  // a second answer to one request has no round trip
    FOutstanding = false;
    const double ms = (monotonic - FSentAt) * kMsPerDay;
    FStats.LastRoundTripMs = ms;
    ++FRoundTrips;
    FStats.MeanRoundTripMs += (ms - FStats.MeanRoundTripMs) / static_cast<double>(FRoundTrips);
}

void TLineDiagnostics::Add(TFrameKind kind, const uint8_t* bytes, size_t length, TDateTime wall) {
    if (FFrames.size() >= kMonitorFrames) FFrames.pop_front();
    TLineFrame frame;
    frame.Time = wall;
    frame.Kind = kind;
    if (bytes != nullptr) frame.Bytes.assign(bytes, bytes + length);
    FFrames.push_back(std::move(frame));
    ++FFrameCount;
}
