#pragma once
// CSV as tcdb writes it: fields separated by commas, one record per line
// ending in "\n"; a field holding a comma, a double quote, CR or LF is put
// in double quotes with its quotes doubled (RFC 4180).

#include <ostream>
#include <span>
#include <string>
#include <string_view>

std::string CsvField(std::string_view text);
void WriteCsvLine(std::ostream& out, std::span<const std::string> fields);
