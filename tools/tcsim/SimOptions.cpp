#include "SimOptions.h"

#include <charconv>
#include <set>

namespace {

struct TProfileName {
    TSimProfile Profile;
    const char* Name;
};

constexpr TProfileName kProfileNames[] = {
    {TSimProfile::Normal, "normal"}, {TSimProfile::Hot, "hot"},       {TSimProfile::Fault, "fault"},
    {TSimProfile::Silent, "silent"}, {TSimProfile::BadCrc, "badcrc"}, {TSimProfile::Zeros, "zeros"},
};

constexpr unsigned kMinAddress = 1;
constexpr unsigned kMaxAddress = 255;

template <class T>
std::optional<T> ParseNumber(std::string_view text) {
    T value{};
    if (text.empty()) return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "COM" followed by a decimal number without a leading zero, e.g. "COM1".
bool IsPortName(std::string_view name) {
    constexpr std::string_view kPrefix = "COM";
    if (name.size() <= kPrefix.size() || name.substr(0, kPrefix.size()) != kPrefix) return false;
    std::string_view digits = name.substr(kPrefix.size());
    if (digits[0] == '0' || digits.size() > 3) return false;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

TControllerSetup ParseControllerSetup(std::string_view text) {
    const std::string quoted = "\"" + std::string(text) + "\"";
    size_t first = text.find(':');
    if (first == std::string_view::npos) {
        throw TUsageError("controller " + quoted + " needs COMn:ADDR[:PROFILE]");
    }
    size_t second = text.find(':', first + 1);
    TControllerSetup setup;
    setup.PortName = std::string(text.substr(0, first));
    if (!IsPortName(setup.PortName)) {
        throw TUsageError("controller " + quoted + ": the port must be COMn, e.g. COM1");
    }
    std::string_view addressText = text.substr(
        first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1);
    auto address = ParseNumber<unsigned>(addressText);
    if (!address || *address < kMinAddress || *address > kMaxAddress) {
        throw TUsageError("controller " + quoted + ": the address must be 1 to 255");
    }
    setup.Address = static_cast<uint8_t>(*address);
    if (second != std::string_view::npos) {
        auto profile = ParseProfile(text.substr(second + 1));
        if (!profile) throw TUsageError("controller " + quoted + ": unknown profile");
        setup.Profile = *profile;
    }
    return setup;
}

}  // namespace

std::optional<TSimProfile> ParseProfile(std::string_view name) {
    for (const auto& entry : kProfileNames) {
        if (name == entry.Name) return entry.Profile;
    }
    return std::nullopt;
}

const char* ProfileName(TSimProfile profile) {
    for (const auto& entry : kProfileNames) {
        if (entry.Profile == profile) return entry.Name;
    }
    return "?";
}

TSimOptions ParseSimOptions(int argc, const char* const* argv) {
    TSimOptions options;
    std::set<std::string> ports;
    bool haveDir = false;

    for (int n = 1; n < argc; ++n) {
        std::string_view arg = argv[n];
        // --name VALUE or --name=VALUE
        auto optionValue = [&](std::string_view name) -> std::optional<std::string_view> {
            if (arg == name) {
                if (n + 1 >= argc) throw TUsageError(std::string(name) + " needs a value");
                return std::string_view(argv[++n]);
            }
            if (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
                arg[name.size()] == '=') {
                return arg.substr(name.size() + 1);
            }
            return std::nullopt;
        };

        if (arg == "--help" || arg == "-h") {
            options.Help = true;
        } else if (auto dir = optionValue("--dir")) {
            if (dir->empty()) throw TUsageError("--dir needs a directory");
            options.ProgramDir = std::string(*dir);
            haveDir = true;
        } else if (auto seed = optionValue("--seed")) {
            auto value = ParseNumber<uint64_t>(*seed);
            if (!value) throw TUsageError("--seed needs a non-negative integer");
            options.Seed = *value;
        } else if (!arg.empty() && arg[0] == '-') {
            throw TUsageError("unknown option \"" + std::string(arg) + "\"");
        } else {
            TControllerSetup setup = ParseControllerSetup(arg);
            if (!ports.insert(setup.PortName).second) {
                throw TUsageError("port " + setup.PortName + " is given twice");
            }
            options.Controllers.push_back(std::move(setup));
        }
    }
    if (options.Help) return options;
    if (!haveDir) throw TUsageError("--dir is required");
    if (options.Controllers.empty()) throw TUsageError("no controller given");
    if (options.Controllers.size() > kMaxSimControllers) {
        throw TUsageError("at most 255 controllers");
    }
    return options;
}

std::string SimUsageText() {
    return "usage: tcsim --dir PROGRAM_DIR [--seed N] COMn:ADDR[:PROFILE]...\n"
           "Simulates temperature controllers as Modbus RTU slaves, one pseudo-terminal\n"
           "each, linked as PROGRAM_DIR/ports/COMn. Serves Read Coils (1) and Read Input\n"
           "Registers (4), four items from 0, until SIGINT or SIGTERM.\n"
           "  ADDR     Modbus address 1..255\n"
           "  PROFILE  normal (default)  A/B/C drift within 25..30 C, iron core 0, fan on\n"
           "           hot     +10 C per request; alarm above 120 C, trip above 150 C\n"
           "           fault   A phase raw 300 (sensor fault), sensor fault relay set\n"
           "           silent  never answers\n"
           "           badcrc  answers with a corrupted CRC\n"
           "           zeros   all registers and relays 0\n"
           "  --seed N   repeatable drift\n"
           "Stdout, one line each, flushed at once:\n"
           "  ready seed=N COMn=/dev/pts/M ...       links made, serving\n"
           "  COMn addr=A fn=F reply=HH HH ...       after the reply was written\n"
           "  COMn addr=A fn=F reply=none            silent profile\n"
           "  COMn opened | COMn closed              first client opened / last client closed\n";
}
