#include <gtest/gtest.h>

#include "algorithms/Stream.h"
#include "algorithms/TestBytes.h"

namespace {

Bytes Content(const TMemoryStream& stream) {
    return Bytes(stream.Memory(), stream.Memory() + stream.Length());
}

TEST(MemoryStream, WritesAdvanceAndReadsReturnWhatIsLeft) {
    TMemoryStream stream;
    EXPECT_EQ(stream.Write("abcdef", 6), 6);
    EXPECT_EQ(stream.Position(), 6);
    EXPECT_EQ(stream.Size(), 6);
    stream.SetPosition(2);
    char buffer[8] = {};
    EXPECT_EQ(stream.Read(buffer, 8), 4);  // only four bytes are left
    EXPECT_EQ(std::string(buffer, 4), "cdef");
    EXPECT_EQ(stream.Position(), 6);
    EXPECT_EQ(stream.Read(buffer, 1), 0);  // at the end
    EXPECT_EQ(stream.Read(buffer, -1), 0);
    EXPECT_EQ(stream.Write(buffer, 0), 0);
}

TEST(MemoryStream, OverwriteInsideKeepsTheSize) {
    TMemoryStream stream;
    stream.Write("abcdef", 6);
    stream.SetPosition(1);
    stream.Write("XY", 2);
    EXPECT_EQ(AsString(Content(stream)), "aXYdef");
    EXPECT_EQ(stream.Position(), 3);
}

TEST(MemoryStream, WritePastTheEndFillsTheGapWithZeros) {
    TMemoryStream stream;
    stream.Write("ab", 2);
    EXPECT_EQ(stream.Seek(3, TSeekOrigin::End), 5);
    char buffer[1];
    EXPECT_EQ(stream.Read(buffer, 1), 0);  // reading past the end finds nothing
    EXPECT_EQ(stream.Length(), 2);
    stream.Write("z", 1);
    EXPECT_EQ(Content(stream), (Bytes{'a', 'b', 0, 0, 0, 'z'}));
}

TEST(MemoryStream, SeekOriginsAndSaturation) {
    TMemoryStream stream;
    stream.Write("0123456789", 10);
    EXPECT_EQ(stream.Seek(4, TSeekOrigin::Beginning), 4);
    EXPECT_EQ(stream.Seek(3, TSeekOrigin::Current), 7);
    EXPECT_EQ(stream.Seek(-2, TSeekOrigin::End), 8);
    EXPECT_EQ(stream.Seek(-100, TSeekOrigin::Current), 0);  // never before the start
    EXPECT_EQ(stream.Seek(INT64_MAX, TSeekOrigin::End), INT64_MAX);
    EXPECT_THROW(stream.Write("x", 1), std::length_error);
    EXPECT_EQ(stream.Length(), 10);
}

TEST(MemoryStream, SizeLeavesThePositionAlone) {
    TMemoryStream stream;
    stream.Write("0123456789", 10);
    stream.SetPosition(3);
    EXPECT_EQ(stream.Size(), 10);
    EXPECT_EQ(stream.Position(), 3);
}

TEST(MemoryStream, SetSizeTruncatesAndPullsThePositionBack) {
    TMemoryStream stream;
    stream.Write("0123456789", 10);
    stream.SetSize(4);
    EXPECT_EQ(stream.Position(), 4);
    EXPECT_EQ(AsString(Content(stream)), "0123");
    stream.SetPosition(1);
    stream.SetSize(6);  // growing keeps the position and adds zeros
    EXPECT_EQ(stream.Position(), 1);
    EXPECT_EQ(Content(stream), (Bytes{'0', '1', '2', '3', 0, 0}));
    stream.SetSize(-1);
    EXPECT_EQ(stream.Length(), 0);
    EXPECT_EQ(stream.Position(), 0);
}

TEST(MemoryStream, ClearEmptiesAndRewinds) {
    TMemoryStream stream;
    stream.Write("0123456789", 10);
    stream.Clear();
    EXPECT_EQ(stream.Length(), 0);
    EXPECT_EQ(stream.Position(), 0);
    stream.Write("x", 1);
    EXPECT_EQ(AsString(Content(stream)), "x");
}

}  // namespace
