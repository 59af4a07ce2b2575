#include "serial/PortName.h"

#include "serial/TcpLink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdint>
#include <limits>
#include <mutex>

namespace {

constexpr std::string_view kComPrefix = "COM";
constexpr std::string_view kPortsDir = "ports";
constexpr std::string_view kFallbackDevice = "/dev/ttyS";
// More digits than any real port number; keeps the number inside uint32_t.
constexpr size_t kMaxPortDigits = 9;

std::mutex& DirLock() {
    static std::mutex lock;
    return lock;
}

std::string& ProgramDir() {
    static std::string dir;
    return dir;
}

std::string ExecutableDir() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return ".";
    std::string exe(path, static_cast<size_t>(n));
    const size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return exe.substr(0, slash);
}

// The port number of "COM<n>", or nothing.
std::optional<uint32_t> ComNumber(std::string_view name) {
    if (name.size() <= kComPrefix.size()) return std::nullopt;
    for (size_t i = 0; i < kComPrefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != kComPrefix[i]) return std::nullopt;
    }
    const std::string_view digits = name.substr(kComPrefix.size());
    if (digits.size() > kMaxPortDigits) return std::nullopt;
    uint32_t number = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (number == 0) return std::nullopt;
    return number;
}

}  // namespace

void SetCommProgramDir(std::string dir) {
    std::lock_guard<std::mutex> lock(DirLock());
    ProgramDir() = std::move(dir);
}

std::string CommProgramDir() {
    std::lock_guard<std::mutex> lock(DirLock());
    if (ProgramDir().empty()) ProgramDir() = ExecutableDir();
    return ProgramDir();
}

std::optional<std::string> ResolveCommPath(std::string_view commName) {
    if (!commName.empty() && commName.front() == '/') return std::string(commName);
    const std::optional<uint32_t> number = ComNumber(commName);
    if (!number) return std::nullopt;

    const std::string canonical = std::string(kComPrefix) + std::to_string(*number);
    std::string link = CommProgramDir();
    if (link.empty() || link.back() != '/') link += '/';
    link += kPortsDir;
    link += '/';
    link += canonical;
    struct stat entry {};
    if (::lstat(link.c_str(), &entry) == 0) return link;
    return std::string(kFallbackDevice) + std::to_string(*number - 1);
}

std::optional<std::string> TcpLinkText(const std::string& path) {
    char text[4096];
    const ssize_t n = ::readlink(path.c_str(), text, sizeof(text));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(text)) return std::nullopt;
    std::string link(text, static_cast<size_t>(n));
    if (link.compare(0, kTcpLinkPrefix.size(), kTcpLinkPrefix) != 0) return std::nullopt;
    return link;
}
