#include "store/SysParaChecks.h"

#include <filesystem>
#include <system_error>

#include "store/GbkText.h"
#include "store/Items.h"
#include "store/StorePaths.h"
#include "store/SysParaDbMgr.h"

namespace {

bool InRange(int32_t value, int32_t low, int32_t high) {
    return value >= low && value <= high;
}

// A stored count of milliseconds that the dialog could have written: whole
// units, their number in range.
bool WholeUnits(int32_t ms, int32_t unit, int32_t low, int32_t high) {
    return ms % unit == 0 && InRange(ms / unit, low, high);
}

}  // namespace

std::string ResolveBackUpDir(const std::string& programDir, const std::string& utf8) {
    const std::filesystem::path path(utf8);
    if (utf8.empty() || path.is_absolute()) return utf8;
    return (std::filesystem::path(WithTrailingSlash(programDir)) / path).string();
}

bool MakeBackUpDir(const std::string& programDir, const std::string& utf8) {
    if (utf8.empty()) return false;
    const std::string gbk = Utf8ToGbk(utf8);
    if (gbk.size() > decltype(TSysParaInfo::BackUpPath)::kCapacity) return false;
    if (GbkToUtf8(gbk) != utf8) return false;
    const std::filesystem::path dir(ResolveBackUpDir(programDir, utf8));
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) return false;
    return std::filesystem::is_directory(dir, error);
}

std::optional<std::string> CheckParaValue(const std::string& programDir, uint8_t key, int32_t value,
                                          const std::string& text) {
    switch (key) {
        case kParaScanInterval:
            if (!WholeUnits(value, kMsPerSecond, kMinScanSeconds, kMaxScanSeconds)) {
                return kScanIntervalMessage;
            }
            break;
        case kParaMaxOLTimer:
            // The dialog shows the scan interval's message for this one too.
            if (!WholeUnits(value, kMsPerMinute, kMinOfflineMinutes, kMaxOfflineMinutes)) {
                return kScanIntervalMessage;
            }
            break;
        case kParaIsBackUp:
            if (value != 0 && value != kBackUpOn) return kIsBackUpMessage;
            break;
        case kParaBackUpInterval:
            if (!InRange(value, kMinBackUpDays, kMaxBackUpDays)) return kBackUpIntervalMessage;
            break;
        case kParaBackUpPath:
            if (!MakeBackUpDir(programDir, text)) return kBackUpDirMessage;
            break;
        case kParaAutoReconnect:
            if (value != 0 && value != 1) return kAutoReconnectMessage;
            break;
        case kParaReplyTimeout:
            if (!InRange(value, kMinReplyTimeout, kMaxReplyTimeout)) return kReplyTimeoutMessage;
            break;
        case kParaTempLimit:
            if (!InRange(value, kMinTempLimit, kMaxTempLimit)) return kTempLimitMessage;
            break;
        case kParaAlarmSound:
            if (value != 0 && value != 1) return kAlarmSoundMessage;
            break;
        default:
            break;
    }
    return std::nullopt;
}
