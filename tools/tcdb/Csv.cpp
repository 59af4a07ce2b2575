#include "Csv.h"

std::string CsvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

void WriteCsvLine(std::ostream& out, std::span<const std::string> fields) {
    bool first = true;
    for (const std::string& field : fields) {
        if (!first) out << ',';
        out << CsvField(field);
        first = false;
    }
    out << '\n';
}
