#pragma once
// A small, strict RFC 4180 reader for checking exported files: it refuses
// anything a spreadsheet program would read differently (a bare quote inside
// an unquoted field, text after a closing quote, a line not ended by CRLF).

#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace csvtest {

using TRecords = std::vector<std::vector<std::string>>;

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The records of a CSV text whose every line ends in CRLF; nullopt when the
// text breaks the format.
inline std::optional<TRecords> ParseCsv(const std::string& text) {
    TRecords records;
    std::vector<std::string> record;
    std::string field;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '"') {
            ++i;
            for (;;) {
                if (i >= text.size()) return std::nullopt;  // unterminated quote
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        field.push_back('"');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field.push_back(text[i++]);
            }
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n') {
                if (text[i] == '"') return std::nullopt;
                field.push_back(text[i++]);
            }
        }
        if (i < text.size() && text[i] == ',') {
            record.push_back(std::move(field));
            field.clear();
            ++i;
        } else if (text.compare(i, 2, "\r\n") == 0) {
            record.push_back(std::move(field));
            field.clear();
            records.push_back(std::move(record));
            record.clear();
            i += 2;
        } else {
            return std::nullopt;  // a lone CR or LF, text after a quote, or no final CRLF
        }
    }
    return records;
}

}  // namespace csvtest
