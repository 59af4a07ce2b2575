#include "serial/InputFilter.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> Filter(TInputFilter& filter, std::vector<uint8_t> in) {
    std::vector<uint8_t> out(in.size());
    out.resize(filter.Process(in.data(), in.size(), out.data()));
    return out;
}

TReadSettings Marked(bool replace = false, uint8_t replacement = 0, bool stripNull = false) {
    TReadSettings settings;
    settings.Marked = true;
    settings.ReplaceErrors = replace;
    settings.ReplacedChar = replacement;
    settings.StripNull = stripNull;
    return settings;
}

}  // namespace

TEST(InputFilter, UnmarkedBytesPassUnchanged) {
    TInputFilter filter;
    EXPECT_EQ(Filter(filter, {0xFF, 0x00, 0x41, 0xFF, 0xFF}),
              (std::vector<uint8_t>{0xFF, 0x00, 0x41, 0xFF, 0xFF}));
}

TEST(InputFilter, StripNullDropsZeroBytesOnly) {
    TInputFilter filter;
    TReadSettings settings;
    settings.StripNull = true;
    filter.Configure(settings);
    EXPECT_EQ(Filter(filter, {0x00, 0x01, 0x00, 0xFF, 0x00}), (std::vector<uint8_t>{0x01, 0xFF}));
}

TEST(InputFilter, DoubledEscapeIsOneRealFF) {
    TInputFilter filter;
    filter.Configure(Marked());
    EXPECT_EQ(Filter(filter, {0x10, 0xFF, 0xFF, 0x20}), (std::vector<uint8_t>{0x10, 0xFF, 0x20}));
}

TEST(InputFilter, ErrorByteIsPassedOnWhenNotReplaced) {
    TInputFilter filter;
    filter.Configure(Marked());
    EXPECT_EQ(Filter(filter, {0x10, 0xFF, 0x00, 0x37, 0x20}),
              (std::vector<uint8_t>{0x10, 0x37, 0x20}));
}

TEST(InputFilter, ErrorByteIsReplacedWhenAsked) {
    TInputFilter filter;
    filter.Configure(Marked(true, '?'));
    EXPECT_EQ(Filter(filter, {0xFF, 0x00, 0x37, 0x41, 0xFF, 0x00, 0x00}),
              (std::vector<uint8_t>{'?', 0x41, '?'}));
}

TEST(InputFilter, ZeroReplacementSurvivesNullStripping) {
    TInputFilter filter;
    filter.Configure(Marked(true, 0x00, true));
    EXPECT_EQ(Filter(filter, {0x00, 0xFF, 0x00, 0x37, 0x00}), (std::vector<uint8_t>{0x00}));
}

TEST(InputFilter, MarkSplitOverReadsIsDecodedWhole) {
    TInputFilter filter;
    filter.Configure(Marked(true, '#'));
    EXPECT_EQ(Filter(filter, {0x01, 0xFF}), (std::vector<uint8_t>{0x01}));
    EXPECT_TRUE(filter.HoldsPartialMark());
    EXPECT_EQ(Filter(filter, {0x00}), (std::vector<uint8_t>{}));
    EXPECT_EQ(Filter(filter, {0x55, 0x02}), (std::vector<uint8_t>{'#', 0x02}));
    EXPECT_FALSE(filter.HoldsPartialMark());
    EXPECT_EQ(Filter(filter, {0xFF}), (std::vector<uint8_t>{}));
    EXPECT_EQ(Filter(filter, {0xFF, 0x03}), (std::vector<uint8_t>{0xFF, 0x03}));
}

TEST(InputFilter, TurningMarkingOffForgetsAHalfSeenMark) {
    TInputFilter filter;
    filter.Configure(Marked());
    Filter(filter, {0xFF});
    filter.Configure(TReadSettings{});
    EXPECT_FALSE(filter.HoldsPartialMark());
    EXPECT_EQ(Filter(filter, {0x00, 0x01}), (std::vector<uint8_t>{0x00, 0x01}));
}

TEST(InputFilter, OutputNeverOutgrowsInputAndMayAliasIt) {
    TInputFilter filter;
    filter.Configure(Marked(true, 'R'));
    // A stray escape followed by a plain byte cannot come from the line; it
    // must still not make the output longer than the input.
    std::vector<uint8_t> bytes = {0xFF, 0x41, 0xFF, 0xFF, 0xFF, 0x00, 0x09, 0x42};
    const size_t n = filter.Process(bytes.data(), bytes.size(), bytes.data());
    bytes.resize(n);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x41, 0xFF, 'R', 0x42}));
}
