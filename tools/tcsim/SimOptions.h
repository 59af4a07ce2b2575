#pragma once
// Command line of the controller simulator:
//   tcsim --dir PROGRAM_DIR [--seed N] COMn:ADDR[:PROFILE]...

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// How a simulated controller behaves (see ProfileName for the names).
enum class TSimProfile { Normal, Hot, Fault, Silent, BadCrc, Zeros };

constexpr size_t kMaxSimControllers = 255;

struct TControllerSetup {
    std::string PortName;  // "COMn"
    uint8_t Address = 1;   // 1..255
    TSimProfile Profile = TSimProfile::Normal;
};

struct TSimOptions {
    std::string ProgramDir;
    std::optional<uint64_t> Seed;  // none: a fresh one per run
    bool Help = false;
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
