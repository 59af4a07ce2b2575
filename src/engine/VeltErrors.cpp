#include "engine/VeltErrors.h"

#include <cerrno>
#include <cstring>

EVeltFileCorrupt::EVeltFileCorrupt() : std::runtime_error(velt_msg::kFileCorrupt) {}

namespace {

std::string Substitute(std::string_view format, std::string_view placeholder,
                       std::string_view text) {
    std::string result(format);
    const size_t at = result.find(placeholder);
    if (at != std::string::npos) result.replace(at, placeholder.size(), text);
    return result;
}

std::string FileMessage(const char* what, const std::string& path, int err) {
    return std::string(what) + " \"" + path + "\". " + SystemReason(err);
}

}  // namespace

std::string SystemReason(int err) {
    // strerror is not thread-safe; strerror_r (GNU variant) is.
    char buffer[256];
    return std::string(strerror_r(err, buffer, sizeof buffer));
}

std::string FormatMessage(std::string_view format, std::string_view argument) {
    return Substitute(format, "%s", argument);
}

std::string FormatMessage(std::string_view format, int32_t argument) {
    return Substitute(format, "%d", std::to_string(argument));
}

void RaiseEngineError(const std::string& message) {
    throw EVeltError(message);
}

void RaiseEngineErrorFmt(std::string_view format, std::string_view argument) {
    throw EVeltError(FormatMessage(format, argument));
}

void RaiseEngineErrorFmt(std::string_view format, int32_t argument) {
    throw EVeltError(FormatMessage(format, argument));
}

void RaiseFileCorrupt() {
    throw EVeltFileCorrupt();
}

void RaiseFileOpenError(const std::string& path, int err) {
    if (err == EWOULDBLOCK) throw EFileBusy(FileMessage("Cannot open file", path, err));
    throw EFOpenError(FileMessage("Cannot open file", path, err));
}

void RaiseFileChanged(const std::string& path) {
    throw EFileChanged("Database file '" + path + "' was changed by another program");
}

void RaiseFileCreateError(const std::string& path, int err) {
    throw EFCreateError(FileMessage("Cannot create file", path, err));
}

void RaiseWriteError(const std::string& path, int err) {
    throw EWriteError(FileMessage("Cannot write file", path, err));
}
