#include "polling/TmpProtocol.h"

#include "store/ReportText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using TBytes = std::vector<uint8_t>;

const TBytes kCoilsReply = {0x01, 0x01, 0x01, 0x05, 0x91, 0x8B};
const TBytes kRegsReply = {0x01, 0x04, 0x08, 0x00, 0x41, 0x00, 0x42,
                           0x00, 0x43, 0x00, 0x28, 0xFC, 0xCC};

TBytes Coils(uint8_t address) {
    TBytes frame(kRequestSize);
    BuildReadCoils(address, frame.data());
    return frame;
}

TBytes InputRegs(uint8_t address) {
    TBytes frame(kRequestSize);
    BuildReadInputRegs(address, frame.data());
    return frame;
}

// A heap block of exactly the bytes given, so that AddressSanitizer reports
// any read past its end.
struct TExactBuffer {
    explicit TExactBuffer(const TBytes& bytes)
        : Size(bytes.size()), Data(new uint8_t[bytes.size()]) {
        if (!bytes.empty()) std::memcpy(Data.get(), bytes.data(), bytes.size());
    }
    size_t Size;
    std::unique_ptr<uint8_t[]> Data;
};

TDecodedReply DecodeExact(const TBytes& bytes) {
    TExactBuffer buffer(bytes);
    return DecodeReply(buffer.Data.get(), buffer.Size);
}

// The textbook shift-and-xor CRC, independent of the tables.
uint16_t BitwiseCrc(const uint8_t* data, size_t length) {
    uint16_t crc = 0xFFFF;
    for (size_t n = 0; n < length; ++n) {
        crc ^= data[n];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

TBytes WithCrc(TBytes frame) {
    uint16_t crc = BitwiseCrc(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

}  // namespace

TEST(TmpProtocol, RequestsMatchTheirKnownFrames) {
    EXPECT_EQ(Coils(1), (TBytes{0x01, 0x01, 0x00, 0x00, 0x00, 0x04, 0x3D, 0xC9}));
    EXPECT_EQ(InputRegs(1), (TBytes{0x01, 0x04, 0x00, 0x00, 0x00, 0x04, 0xF1, 0xC9}));
    EXPECT_EQ(Coils(2), (TBytes{0x02, 0x01, 0x00, 0x00, 0x00, 0x04, 0x3D, 0xFA}));
    EXPECT_EQ(InputRegs(255), (TBytes{0xFF, 0x04, 0x00, 0x00, 0x00, 0x04, 0xE4, 0x17}));
}

TEST(TmpProtocol, BuildersWriteExactlyEightBytes) {
    TBytes buffer(kRequestSize + 4, 0xAA);
    BuildReadInputRegs(7, buffer.data());
    for (size_t n = kRequestSize; n < buffer.size(); ++n) EXPECT_EQ(buffer[n], 0xAA) << n;
    // Every address gets a request whose CRC the bit-wise CRC confirms.
    for (int address = 0; address <= 255; ++address) {
        for (const TBytes& frame :
             {Coils(static_cast<uint8_t>(address)), InputRegs(static_cast<uint8_t>(address))}) {
            ASSERT_EQ(frame[0], address);
            EXPECT_EQ(WithCrc(TBytes(frame.begin(), frame.begin() + 6)), frame);
        }
    }
}

TEST(TmpProtocol, CrcOfCheckStringIs4B37LowByteFirst) {
    const char* text = "123456789";
    uint8_t low = 0, high = 0;
    CalcCrc16(reinterpret_cast<const uint8_t*>(text), 9, low, high);
    EXPECT_EQ(low, 0x37);
    EXPECT_EQ(high, 0x4B);
}

TEST(TmpProtocol, EmptyOrNegativeLengthGivesFFFFWithoutReading) {
    uint8_t low = 0, high = 0;
    CalcCrc16(nullptr, 0, low, high);
    EXPECT_EQ(low, 0xFF);
    EXPECT_EQ(high, 0xFF);
    low = high = 0;
    CalcCrc16(nullptr, -5, low, high);
    EXPECT_EQ(low, 0xFF);
    EXPECT_EQ(high, 0xFF);
    EXPECT_TRUE(CheckCrc16(nullptr, 0, 0xFF, 0xFF));
    EXPECT_FALSE(CheckCrc16(nullptr, 0, 0xFF, 0xFE));
}

TEST(TmpProtocol, TablesAgreeWithTheirDefinition) {
    EXPECT_EQ((TBytes{kCrcHighTable[0], kCrcHighTable[1], kCrcHighTable[2], kCrcHighTable[3]}),
              (TBytes{0x00, 0xC1, 0x81, 0x40}));
    EXPECT_EQ((TBytes{kCrcLowTable[0], kCrcLowTable[1], kCrcLowTable[2], kCrcLowTable[3]}),
              (TBytes{0x00, 0xC0, 0xC1, 0x01}));
    for (int i = 0; i < 256; ++i) {
        uint16_t value = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) ? static_cast<uint16_t>((value >> 1) ^ 0xA001)
                                : static_cast<uint16_t>(value >> 1);
        }
        EXPECT_EQ(kCrcHighTable[i], value & 0xFF) << i;
        EXPECT_EQ(kCrcLowTable[i], value >> 8) << i;
    }
}

TEST(TmpProtocol, TableCrcMatchesBitwiseCrcOnRandomInput) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 2000; ++round) {
        TBytes data(random() % 300);
        for (auto& b : data) b = static_cast<uint8_t>(random());
        uint8_t low = 0, high = 0;
        CalcCrc16(data.data(), static_cast<int32_t>(data.size()), low, high);
        uint16_t expected = BitwiseCrc(data.data(), data.size());
        ASSERT_EQ(low, expected & 0xFF) << "size " << data.size();
        ASSERT_EQ(high, expected >> 8) << "size " << data.size();
        ASSERT_TRUE(CheckCrc16(data.data(), static_cast<int32_t>(data.size()), low, high));
    }
}

TEST(TmpProtocol, CheckCrcPinsBothBytesInOrder) {
    EXPECT_TRUE(CheckCrc16(kCoilsReply.data(), 4, 0x91, 0x8B));
    EXPECT_FALSE(CheckCrc16(kCoilsReply.data(), 4, 0x91, 0x8C));
    EXPECT_FALSE(CheckCrc16(kCoilsReply.data(), 4, 0x8B, 0x91));  // swapped
    EXPECT_TRUE(CheckCrc16(kRegsReply.data(), 11, 0xFC, 0xCC));
    EXPECT_FALSE(CheckCrc16(kRegsReply.data(), 10, 0xFC, 0xCC));  // wrong length
}

TEST(TmpProtocol, KnownRepliesDecode) {
    TDecodedReply coils = DecodeExact(kCoilsReply);
    EXPECT_EQ(coils.Kind, TReplyKind::Relays);
    ASSERT_TRUE(coils.Accepted);
    EXPECT_EQ(coils.RelayFlags, 0x05);
    EXPECT_TRUE(coils.RelayFlags & kRelaySensorFault);
    EXPECT_FALSE(coils.RelayFlags & kRelayFan);
    EXPECT_TRUE(coils.RelayFlags & kRelayAlarm);
    EXPECT_FALSE(coils.RelayFlags & kRelayTrip);

    TDecodedReply regs = DecodeExact(kRegsReply);
    EXPECT_EQ(regs.Kind, TReplyKind::Temperatures);
    ASSERT_TRUE(regs.Accepted);
    EXPECT_EQ(regs.RawTemp, (std::array<uint16_t, 4>{0x41, 0x42, 0x43, 0x28}));
    EXPECT_EQ(TemperatureText(regs.RawTemp[kPhaseA]), "25");
    EXPECT_EQ(TemperatureText(regs.RawTemp[kPhaseB]), "26");
    EXPECT_EQ(TemperatureText(regs.RawTemp[kPhaseC]), "27");
    EXPECT_EQ(TemperatureText(regs.RawTemp[kIronCore]), "0");
}

TEST(TmpProtocol, RegistersAreBigEndianAtTheirOffsets) {
    TDecodedReply reply =
        DecodeExact(WithCrc({0x09, 0x04, 0x08, 0x12, 0x34, 0xAB, 0xCD, 0x00, 0xF1, 0xFF, 0xFF}));
    ASSERT_TRUE(reply.Accepted);
    EXPECT_EQ(reply.RawTemp, (std::array<uint16_t, 4>{0x1234, 0xABCD, 0x00F1, 0xFFFF}));
}

TEST(TmpProtocol, EveryOneBitChangeOfAValidReplyIsRejected) {
    for (const TBytes& valid : {kCoilsReply, kRegsReply}) {
        for (size_t byte = 0; byte < valid.size(); ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                TBytes changed = valid;
                changed[byte] ^= static_cast<uint8_t>(1u << bit);
                TDecodedReply reply = DecodeExact(changed);
                EXPECT_FALSE(reply.Accepted)
                    << "size " << valid.size() << " byte " << byte << " bit " << bit;
            }
        }
    }
}

TEST(TmpProtocol, ExceptionAndUnknownFunctionsAreIgnoredEvenWithRightCrc) {
    for (uint8_t function : {0x81, 0x84, 0x03, 0x00, 0x02, 0xFF}) {
        TBytes frame = WithCrc({0x01, function, 0x02});
        TDecodedReply reply = DecodeExact(frame);
        EXPECT_EQ(reply.Kind, TReplyKind::None) << int(function);
        EXPECT_FALSE(reply.Accepted) << int(function);
    }
    // Long enough for either layout and with a CRC that would pass at offset 11.
    TBytes padded = kRegsReply;
    padded[1] = 0x84;
    padded = WithCrc(TBytes(padded.begin(), padded.begin() + 11));
    EXPECT_FALSE(DecodeExact(padded).Accepted);
}

TEST(TmpProtocol, ShortChunksAreRejectedWithoutReadingPastThem) {
    EXPECT_EQ(DecodeReply(nullptr, 0).Kind, TReplyKind::None);
    EXPECT_FALSE(DecodeExact({}).Accepted);
    EXPECT_FALSE(DecodeExact({0x01}).Accepted);
    EXPECT_EQ(DecodeExact({0x01}).Kind, TReplyKind::None);
    for (const TBytes& valid : {kCoilsReply, kRegsReply}) {
        for (size_t size = 2; size < valid.size(); ++size) {
            TDecodedReply reply = DecodeExact(TBytes(valid.begin(), valid.begin() + size));
            EXPECT_FALSE(reply.Accepted) << "size " << size;
            EXPECT_NE(reply.Kind, TReplyKind::None) << "size " << size;
        }
    }
    // A five-byte "coils reply" whose own CRC fits at offsets 3..4 is still short.
    EXPECT_FALSE(DecodeExact(WithCrc({0x01, 0x01, 0x01})).Accepted);
}

TEST(TmpProtocol, AddressByteCountAndTrailingBytesAreNotChecked) {
    TDecodedReply other = DecodeExact(WithCrc({0x2A, 0x04, 0x08, 0, 65, 0, 66, 0, 67, 0, 0}));
    ASSERT_TRUE(other.Accepted);  // another slave's address
    EXPECT_EQ(other.RawTemp, (std::array<uint16_t, 4>{65, 66, 67, 0}));

    EXPECT_TRUE(DecodeExact(WithCrc({0x01, 0x01, 0x07, 0x02})).Accepted);  // odd byte count

    TBytes trailing = kCoilsReply;
    trailing.insert(trailing.end(), {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x11, 0x22, 0x33});
    TDecodedReply coils = DecodeExact(trailing);
    EXPECT_TRUE(coils.Accepted);
    EXPECT_EQ(coils.RelayFlags, 0x05);

    TBytes twoReplies = kRegsReply;
    twoReplies.insert(twoReplies.end(), kCoilsReply.begin(), kCoilsReply.end());
    EXPECT_EQ(DecodeExact(twoReplies).Kind, TReplyKind::Temperatures);  // the first one counts
}

TEST(TmpProtocol, RejectedRepliesCarryNoValues) {
    TBytes bad = kRegsReply;
    bad.back() ^= 0x01;
    TDecodedReply reply = DecodeExact(bad);
    EXPECT_EQ(reply.Kind, TReplyKind::Temperatures);
    EXPECT_FALSE(reply.Accepted);
    EXPECT_EQ(reply.RawTemp, (std::array<uint16_t, 4>{}));
}

TEST(TmpProtocol, CoilByteF1IsSensorFaultOnly) {
    TDecodedReply reply = DecodeExact(WithCrc({0x01, 0x01, 0x01, 0xF1}));
    ASSERT_TRUE(reply.Accepted);
    EXPECT_EQ(reply.RelayFlags, 0xF1);  // kept whole
    EXPECT_TRUE(reply.RelayFlags & kRelaySensorFault);
    EXPECT_FALSE(reply.RelayFlags & kRelayFan);
    EXPECT_FALSE(reply.RelayFlags & kRelayAlarm);
    EXPECT_FALSE(reply.RelayFlags & kRelayTrip);
}

TEST(TmpProtocol, RawValuesShowAsDegreesUpTo240) {
    EXPECT_FALSE(IsSensorFault(240));
    EXPECT_EQ(TemperatureText(240), "200");
    EXPECT_TRUE(IsSensorFault(241));
    EXPECT_TRUE(IsSensorFault(300));
    EXPECT_TRUE(IsSensorFault(65535));
    EXPECT_FALSE(IsSensorFault(0));
    EXPECT_EQ(TemperatureText(0), "-40");
    EXPECT_EQ(TemperatureText(39), "-1");
    EXPECT_EQ(TemperatureText(40), "0");
    EXPECT_EQ(TemperatureText(65), "25");
    EXPECT_EQ(kIronCoreNoReading, 0);
}
