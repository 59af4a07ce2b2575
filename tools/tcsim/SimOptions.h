#pragma once
// Command line of the controller simulator:
//   tcsim --dir PROGRAM_DIR [--seed N] [--wire-baud BAUD[:TURNAROUND_MS]]
//         [--late-ms MS] {COMn|tcp:PORT}:ADDR[:PROFILE]...

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// How a simulated controller behaves (see ProfileName for the names).
enum class TSimProfile { Normal, Hot, Fault, Silent, BadCrc, Zeros, Late, WrongAddr, Exception };

constexpr size_t kMaxSimControllers = 255;

struct TControllerSetup {
    // The line: "COMn" (a pseudo-terminal) or "tcp:PORT" (a listening socket
    // on 127.0.0.1). Controllers with the same name share the line.
    std::string PortName;
    std::optional<uint16_t> TcpPort;  // set for "tcp:PORT"; 0 picks a free one
    uint8_t Address = 1;              // 1..255, unique on its line
    TSimProfile Profile = TSimProfile::Normal;
};

// Replies paced as a serial line of `Baud` would carry them, each after the
// slave's turnaround.
struct TWireTiming {
    unsigned Baud = 9600;
    unsigned TurnaroundMs = 5;
};

constexpr unsigned kDefaultLateMs = 1500;

struct TSimOptions {
    std::string ProgramDir;
    std::optional<uint64_t> Seed;  // none: a fresh one per run
    bool Help = false;
    std::optional<TWireTiming> Wire;   // none: replies written at once
    unsigned LateMs = kDefaultLateMs;  // delay of the "late" profile's replies
    std::vector<TControllerSetup> Controllers;
};

// Wrong usage; main prints the message and the usage text and exits with 2.
class TUsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Parses argv[1..argc-1]; throws TUsageError. With --help the rest may be
// missing.
TSimOptions ParseSimOptions(int argc, const char* const* argv);
std::optional<TSimProfile> ParseProfile(std::string_view name);
const char* ProfileName(TSimProfile profile);
std::string SimUsageText();
