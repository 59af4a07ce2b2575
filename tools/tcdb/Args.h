#pragma once
// The command line of one tcdb subcommand: positional arguments and
// "--name value" (or "--name=value") options, each option at most once.

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Wrong usage: tcdb prints its usage text and exits with 2.
class TUsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A failure with a reason: tcdb prints it as one line and exits with 1.
class TToolError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class TArgs {
  public:
    // Parses Arguments (the words after the subcommand) against the options
    // the subcommand knows; raises TUsageError for anything else.
    TArgs(const std::vector<std::string>& arguments, const std::vector<std::string>& known);

    const std::vector<std::string>& Positional() const { return FPositional; }
    // Exactly Count positional arguments, else TUsageError.
    void ExpectPositional(size_t count) const;
    bool Has(const std::string& name) const { return FOptions.count(name) != 0; }
    std::optional<std::string> Get(const std::string& name) const;
    // The value of a required option, else TUsageError.
    const std::string& Require(const std::string& name) const;

  private:
    std::vector<std::string> FPositional;
    std::map<std::string, std::string> FOptions;
};

// An integer option from Min to Max, else TToolError naming the option.
// Decimal, or hexadecimal after "0x".
int64_t IntegerOption(const std::string& name, const std::string& text, int64_t min, int64_t max);

// A time option's local time, YYYY-MM-DD hh:mm:ss[.zzz], else TToolError
// naming the option.
double TimeOption(const std::string& name, const std::string& text);
// The range of the options --from and --to, local times as
// YYYY-MM-DD hh:mm:ss[.zzz]; a missing one leaves that end open. A time
// that does not parse is a TToolError naming its option.
struct TTimeOptions {
    double Begin;
    double End;
};
TTimeOptions TimeRangeOptions(const TArgs& args);
