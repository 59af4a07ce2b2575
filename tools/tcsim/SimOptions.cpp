#include "SimOptions.h"

#include <charconv>
#include <set>
#include <utility>

namespace {

struct TProfileName {
    TSimProfile Profile;
    const char* Name;
};

constexpr TProfileName kProfileNames[] = {
    {TSimProfile::Normal, "normal"},       {TSimProfile::Hot, "hot"},
    {TSimProfile::Fault, "fault"},         {TSimProfile::Silent, "silent"},
    {TSimProfile::BadCrc, "badcrc"},       {TSimProfile::Zeros, "zeros"},
    {TSimProfile::Late, "late"},           {TSimProfile::WrongAddr, "wrongaddr"},
    {TSimProfile::Exception, "exception"},
};

constexpr unsigned kMinAddress = 1;
constexpr unsigned kMaxAddress = 255;
constexpr unsigned kMinBaud = 300;
constexpr unsigned kMaxBaud = 1000000;
constexpr unsigned kMaxDelayMs = 60000;
constexpr std::string_view kTcpPrefix = "tcp:";

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
    // "tcp:PORT" names the line with its own colon.
    const bool tcp = text.substr(0, kTcpPrefix.size()) == kTcpPrefix;
    size_t first = text.find(':', tcp ? kTcpPrefix.size() : 0);
    if (first == std::string_view::npos) {
        throw TUsageError("controller " + quoted +
                          " needs COMn:ADDR[:PROFILE] or tcp:PORT:ADDR[:PROFILE]");
    }
    size_t second = text.find(':', first + 1);
    TControllerSetup setup;
    setup.PortName = std::string(text.substr(0, first));
    if (tcp) {
        auto port =
            ParseNumber<uint16_t>(text.substr(kTcpPrefix.size(), first - kTcpPrefix.size()));
        if (!port) throw TUsageError("controller " + quoted + ": the TCP port must be 0 to 65535");
        setup.TcpPort = *port;
    } else if (!IsPortName(setup.PortName)) {
        throw TUsageError("controller " + quoted +
                          ": the port must be COMn or tcp:PORT, e.g. COM1");
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
    std::set<std::pair<std::string, uint8_t>> addresses;  // (line, address)
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
        } else if (auto wire = optionValue("--wire-baud")) {
            size_t colon = wire->find(':');
            auto baud = ParseNumber<unsigned>(wire->substr(0, colon));
            if (!baud || *baud < kMinBaud || *baud > kMaxBaud) {
                throw TUsageError("--wire-baud needs a baud rate from 300 to 1000000");
            }
            TWireTiming timing;
            timing.Baud = *baud;
            if (colon != std::string_view::npos) {
                auto turnaround = ParseNumber<unsigned>(wire->substr(colon + 1));
                if (!turnaround || *turnaround > kMaxDelayMs) {
                    throw TUsageError("--wire-baud: the turnaround must be 0 to 60000 ms");
                }
                timing.TurnaroundMs = *turnaround;
            }
            options.Wire = timing;
        } else if (auto late = optionValue("--late-ms")) {
            auto value = ParseNumber<unsigned>(*late);
            if (!value || *value > kMaxDelayMs) throw TUsageError("--late-ms needs 0 to 60000");
            options.LateMs = *value;
        } else if (!arg.empty() && arg[0] == '-') {
            throw TUsageError("unknown option \"" + std::string(arg) + "\"");
        } else {
            TControllerSetup setup = ParseControllerSetup(arg);
            if (!addresses.insert({setup.PortName, setup.Address}).second) {
                throw TUsageError("address " + std::to_string(setup.Address) +
                                  " is given twice on " + setup.PortName);
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
    return "usage: tcsim --dir PROGRAM_DIR [--seed N] [--wire-baud BAUD[:TURNAROUND_MS]]\n"
           "             [--late-ms MS] LINE:ADDR[:PROFILE]...\n"
           "Simulates temperature controllers as Modbus RTU slaves until SIGINT or SIGTERM.\n"
           "Serves Read Coils (1) and Read Input Registers (4), four items from 0.\n"
           "  LINE     COMn      a pseudo-terminal linked as PROGRAM_DIR/ports/COMn\n"
           "           tcp:PORT  RTU frames over TCP on 127.0.0.1:PORT, one client at a\n"
           "                     time (a new one replaces the old); 0 picks a free port\n"
           "           Controllers naming the same LINE share it, one address each;\n"
           "           requests for other addresses get no answer.\n"
           "  ADDR     Modbus address 1..255\n"
           "  PROFILE  normal (default)  A/B/C drift within 25..30 C, iron core 0, fan on\n"
           "           hot     +10 C per request; alarm above 120 C, trip above 150 C\n"
           "           fault   A phase raw 300 (sensor fault), sensor fault relay set\n"
           "           silent  never answers\n"
           "           badcrc  answers with a corrupted CRC\n"
           "           zeros   all registers and relays 0\n"
           "           late    normal values, each reply --late-ms after the request\n"
           "           wrongaddr  normal values from address ADDR+1 (255: 1), valid CRC\n"
           "           exception  an exception reply (code 4, device failure) to every request\n"
           "  --seed N   repeatable drift\n"
           "  --wire-baud BAUD[:TURNAROUND_MS]  each reply starts TURNAROUND_MS (default 5)\n"
           "             after its request and takes its wire time, 10 bits a byte\n"
           "  --late-ms MS  delay of the late profile's replies (default 1500)\n"
           "Requests on one line are answered one at a time, in order.\n"
           "Stdout, one line each, flushed at once:\n"
           "  ready seed=N COMn=/dev/pts/M tcp:PORT=P ...  links and sockets made, serving\n"
           "  LINE addr=A fn=F reply=HH HH ...       after the reply was written\n"
           "  LINE addr=A fn=F reply=none            silent profile\n"
           "  LINE opened | LINE closed              first client opened / last client closed\n";
}
