// The line's counters and monitor, fed the frames a scan would send and
// receive, and as the scan cycle feeds them over a pty.

#include "polling/LineDiagnostics.h"

#include <gtest/gtest.h>

#include "ScanRig.h"
#include "polling/TmpProtocol.h"

namespace {

constexpr double kMs = 1.0 / 86400000.0;

TBytes Exception(uint8_t address, uint8_t function, uint8_t code) {
    return WithCrc({address, static_cast<uint8_t>(function | 0x80), code});
}

}  // namespace

TEST(LineDiagnostics, ChunksAreJudgedAsReplyExceptionCrcErrorOrDropped) {
    const TBytes regs = RegsReply(7, 65, 66, 67, 0);
    EXPECT_EQ(JudgeChunk(regs.data(), regs.size()), TFrameKind::Reply);
    TBytes bad = regs;
    bad.back() ^= 0x01;
    EXPECT_EQ(JudgeChunk(bad.data(), bad.size()), TFrameKind::CrcError);
    EXPECT_EQ(JudgeChunk(regs.data(), regs.size() - 1), TFrameKind::CrcError);  // short
    const TBytes exception = Exception(7, kFnReadInputRegs, 2);
    EXPECT_EQ(JudgeChunk(exception.data(), exception.size()), TFrameKind::Exception);
    TBytes badException = exception;
    badException[2] = 3;
    EXPECT_EQ(JudgeChunk(badException.data(), badException.size()), TFrameKind::Dropped);
    const TBytes noise = {0x07, 0x10, 0xAA};
    EXPECT_EQ(JudgeChunk(noise.data(), noise.size()), TFrameKind::Dropped);
    EXPECT_EQ(JudgeChunk(noise.data(), 1), TFrameKind::Dropped);
    EXPECT_EQ(JudgeChunk(nullptr, 0), TFrameKind::Dropped);
}

// Counters: an unanswered request counts as a time-out when the next one
// goes; round trips from request to reply or exception, last and mean; a
// second answer to one request has none; dropped bytes add up.
TEST(LineDiagnostics, CountersFollowTheRequestsAndWhatCameBack) {
    TLineDiagnostics line;
    const TBytes coils = RequestFor(7, kFnReadCoils);
    const TBytes reply = CoilsReply(7, 0x02);
    const TBytes exception = Exception(7, kFnReadInputRegs, 2);
    const TBytes noise = {0x01, 0x02, 0x03};

    line.RequestSent(coils.data(), coils.size(), 10.0, 45000.0);
    EXPECT_EQ(line.ChunkReceived(reply.data(), reply.size(), 10.0 + 20 * kMs, 45000.5),
              TFrameKind::Reply);
    line.ChunkReceived(reply.data(), reply.size(), 10.0 + 30 * kMs, 45000.6);
    line.RequestSent(coils.data(), coils.size(), 11.0, 45001.0);
    line.ChunkReceived(noise.data(), noise.size(), 11.0 + 5 * kMs, 45001.1);
    line.RequestSent(coils.data(), coils.size(), 12.0, 45002.0);  // the last one timed out
    line.ChunkReceived(exception.data(), exception.size(), 12.0 + 40 * kMs, 45002.2);

    const TLineStats& s = line.Stats();
    EXPECT_EQ(s.Requests, 3u);
    EXPECT_EQ(s.Replies, 2u);
    EXPECT_EQ(s.TimeOuts, 1u);
    EXPECT_EQ(s.Exceptions, 1u);
    EXPECT_EQ(s.CrcErrors, 0u);
    EXPECT_EQ(s.BytesDropped, 3u);
    EXPECT_DOUBLE_EQ(s.LastReply, 45000.6);
    EXPECT_NEAR(s.LastRoundTripMs, 40.0, 0.01);
    EXPECT_NEAR(s.MeanRoundTripMs, 30.0, 0.01);
}

// On a shared line the frames come judged: taken as they are (a good reply
// the exchange dropped as late counts as dropped), a CRC error ends the
// request and a time-out counts once, when it happens.
TEST(LineDiagnostics, FramesJudgedElsewhereCountAsTheyAreGiven) {
    TLineDiagnostics line;
    const TBytes coils = RequestFor(7, kFnReadCoils);
    const TBytes reply = CoilsReply(7, 0x02);
    TBytes bad = reply;
    bad.back() ^= 0x01;

    line.RequestSent(coils.data(), coils.size(), 10.0, 45000.0);
    line.FrameReceived(TFrameKind::Dropped, reply.data(), reply.size(), 10.0 + 5 * kMs, 45000.1);
    line.FrameReceived(TFrameKind::CrcError, bad.data(), bad.size(), 10.0 + 9 * kMs, 45000.2);
    line.RequestSent(coils.data(), coils.size(), 11.0, 45001.0);  // the last one was answered
    EXPECT_EQ(line.Stats().TimeOuts, 0u);
    line.TimedOut();
    EXPECT_EQ(line.Stats().TimeOuts, 1u);
    line.RequestSent(coils.data(), coils.size(), 12.0, 45002.0);
    EXPECT_EQ(line.Stats().TimeOuts, 1u);
    line.FrameReceived(TFrameKind::Reply, reply.data(), reply.size(), 12.0 + 25 * kMs, 45002.3);

    const TLineStats& s = line.Stats();
    EXPECT_EQ(s.Requests, 3u);
    EXPECT_EQ(s.Replies, 1u);
    EXPECT_EQ(s.CrcErrors, 1u);
    EXPECT_EQ(s.BytesDropped, 2 * reply.size());
    EXPECT_DOUBLE_EQ(s.LastReply, 45002.3);
    EXPECT_NEAR(s.LastRoundTripMs, 25.0, 0.01);
    ASSERT_EQ(line.Frames().size(), 6u);
    EXPECT_EQ(line.Frames()[1].Kind, TFrameKind::Dropped);
    EXPECT_EQ(line.Frames()[1].Bytes, reply);
    EXPECT_EQ(line.Frames()[2].Kind, TFrameKind::CrcError);

    // The monitor of a whole line: frames only, whatever their kind.
    TLineDiagnostics shared;
    shared.MonitorFrame(TFrameKind::Request, coils.data(), coils.size(), 45003.0);
    shared.MonitorFrame(TFrameKind::Reply, reply.data(), reply.size(), 45003.1);
    shared.MonitorFrame(TFrameKind::Exception, reply.data(), 1, 45003.2);
    EXPECT_EQ(shared.FrameCount(), 3u);
    EXPECT_EQ(shared.Stats().Requests, 0u);
    EXPECT_EQ(shared.Stats().Replies, 0u);
    EXPECT_EQ(DescribeFrame(shared.Frames()[1]), "应答 地址 7 继电器 02");
    EXPECT_EQ(DescribeFrame(shared.Frames()[2]), "异常应答");  // too short to say more
}

// The monitor keeps the last 500 frames in order, with what they were.
TEST(LineDiagnostics, MonitorKeepsTheLastFramesDescribed) {
    TLineDiagnostics line;
    const TBytes regsRequest = RequestFor(9, kFnReadInputRegs);
    const TBytes regs = RegsReply(9, 65, 66, 67, 0);
    for (size_t n = 0; n < TLineDiagnostics::kMonitorFrames; ++n) {
        line.RequestSent(regsRequest.data(), regsRequest.size(), 1.0, 45000.0 + n);
        line.ChunkReceived(regs.data(), regs.size(), 1.0, 45000.0 + n);
    }
    ASSERT_EQ(line.Frames().size(), TLineDiagnostics::kMonitorFrames);
    EXPECT_EQ(line.FrameCount(), 2 * TLineDiagnostics::kMonitorFrames);
    EXPECT_EQ(line.Frames().front().Time, 45000.0 + 250);
    EXPECT_EQ(line.Frames().back().Kind, TFrameKind::Reply);

    EXPECT_EQ(DescribeFrame(line.Frames().front()), "请求 读温度 地址 9");
    EXPECT_EQ(DescribeFrame(line.Frames().back()), "应答 地址 9 温度原始值 A 65 B 66 C 67 铁芯 0");
    EXPECT_EQ(HexBytes(regsRequest), "09 04 00 00 00 04 F0 81");
    const std::string text = FrameLine(line.Frames().back());
    EXPECT_NE(text.find("\t接收\t09 04 08 00 41"), std::string::npos) << text;
    const TLineFrame exception{45000.0, TFrameKind::Exception, Exception(9, 4, 2)};
    EXPECT_EQ(DescribeFrame(exception), "异常应答 地址 9 功能 84 异常码 2");
}

// The scan cycle feeds the station's line: what it sent and every chunk.
TEST(LineDiagnostics, TheScanCycleCountsWhatGoesOverTheStationsPort) {
    TScanRig rig;
    TPtyPair& peer = rig.Peer(1);
    TStationState& station = rig.AddStation(9, 1);
    rig.CountChunks(station);
    rig.Cycle().ScanTimerTimer();
    ASSERT_TRUE(TScanRig::WaitFor([&] { return station.Line.Stats().Requests == 1; }));
    (void)peer;
    ASSERT_TRUE(rig.Deliver(station, CoilsReply(9, 0x02)));
    const TBytes bad = {0x09, 0x01, 0x01};
    ASSERT_TRUE(rig.Deliver(station, bad));
    EXPECT_EQ(station.Line.Stats().Replies, 1u);
    EXPECT_EQ(station.Line.Stats().CrcErrors, 1u);
    ASSERT_EQ(station.Line.Frames().size(), 3u);
    EXPECT_EQ(station.Line.Frames()[0].Bytes, RequestFor(9, kFnReadCoils));
}
