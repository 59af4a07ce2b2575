#include "Args.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "store/DateTime.h"

namespace {

constexpr std::string_view kOptionPrefix = "--";

}  // namespace

TArgs::TArgs(const std::vector<std::string>& arguments, const std::vector<std::string>& known) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word.size() <= kOptionPrefix.size() || word.compare(0, 2, kOptionPrefix) != 0) {
            FPositional.push_back(word);
            continue;
        }
        std::string name = word.substr(kOptionPrefix.size());
        std::string value;
        const size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.resize(equals);
        } else {
            if (i + 1 >= arguments.size()) throw TUsageError("--" + name + " needs a value");
            value = arguments[++i];
        }
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            throw TUsageError("unknown option --" + name);
        }
        if (!FOptions.emplace(name, value).second) {
            throw TUsageError("--" + name + " given twice");
        }
    }
}

void TArgs::ExpectPositional(size_t count) const {
    if (FPositional.size() != count) throw TUsageError("wrong number of arguments");
}

std::optional<std::string> TArgs::Get(const std::string& name) const {
    const auto it = FOptions.find(name);
    if (it == FOptions.end()) return std::nullopt;
    return it->second;
}

const std::string& TArgs::Require(const std::string& name) const {
    const auto it = FOptions.find(name);
    if (it == FOptions.end()) throw TUsageError("--" + name + " is required");
    return it->second;
}

int64_t IntegerOption(const std::string& name, const std::string& text, int64_t min, int64_t max) {
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    int64_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value, base);
    if (digits.empty() || error != std::errc() || stop != end || value < min || value > max) {
        throw TToolError("--" + name + " must be an integer from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + text + "'");
    }
    return value;
}

double TimeOption(const std::string& name, const std::string& text) {
    const std::optional<TDateTime> time = ParseIsoDateTime(text);
    if (!time) {
        throw TToolError("--" + name + " must be a local time YYYY-MM-DD hh:mm:ss[.zzz], not '" +
                         text + "'");
    }
    return *time;
}

TTimeOptions TimeRangeOptions(const TArgs& args) {
    const std::optional<std::string> from = args.Get("from");
    const std::optional<std::string> to = args.Get("to");
    return {from ? TimeOption("from", *from) : std::numeric_limits<TDateTime>::lowest(),
            to ? TimeOption("to", *to) : std::numeric_limits<TDateTime>::max()};
}
