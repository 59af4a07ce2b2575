#pragma once
// Text as the station's files store it: GBK (single bytes for ASCII, two
// bytes for each Chinese character). The rest of the program speaks UTF-8;
// these helpers convert at the boundary and cut GBK text to byte limits
// without ever splitting a double-byte character.

#include <cstddef>
#include <string>
#include <string_view>

// Characters GBK cannot represent become '?'.
std::string Utf8ToGbk(std::string_view utf8);
// Bytes that are not valid GBK become U+FFFD.
std::string GbkToUtf8(std::string_view gbk);
// Length in GBK bytes of a UTF-8 text.
size_t GbkByteLength(std::string_view utf8);
// The longest prefix of gbk that fits in maxBytes and ends on a character
// boundary: a cut that would split a double-byte character drops it whole.
std::string_view CutGbk(std::string_view gbk, size_t maxBytes);
