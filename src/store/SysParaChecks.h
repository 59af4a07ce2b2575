#pragma once
// The checks the settings take before they are stored, in one place for the
// settings dialog and tcdb's set-param: accepted ranges, the messages, and
// where a backup directory setting points.
//
//   key  setting            stored as             accepted
//   0    scan interval      milliseconds          whole seconds 1..59999
//   1    offline time       milliseconds          whole minutes 1..35791
//   2    automatic backup   0 off, 1 on           0 or 1
//   3    last backup day    text                  (the backup timer's own)
//   4    backup interval    days                  1..364
//   5    backup directory   text (GBK)            creatable; relative to the program directory
//   6    auto reconnect     0 off, 1 on           0 or 1 (files without it: on)
//   7    reply time-out     milliseconds          20..5000 (files without it: 1000)
//   8    temperature limit  degrees Celsius       0 (off) or 1..200 (files without it: 0)
//   9    alarm sound        0 off, 1 on           0 or 1 (files without it: on)

#include <cstdint>
#include <optional>
#include <string>

// The checks' messages.
inline constexpr const char* kScanIntervalMessage = "扫描时间间隔太短或太长！";
inline constexpr const char* kBackUpIntervalMessage = "备份时间间隔太短或太长！";
inline constexpr const char* kBackUpDirMessage = "创建备份目录失败！";
inline constexpr const char* kIsBackUpMessage = "系统自动备份只能是0（关）或1（开）！";
inline constexpr const char* kAutoReconnectMessage = "自动重连离线设备只能是0（关）或1（开）！";
inline constexpr const char* kReplyTimeoutMessage = "应答超时必须是20到5000之间的整数！";
inline constexpr const char* kTempLimitMessage = "温度上限必须是0（关）到200之间的整数！";
inline constexpr const char* kAlarmSoundMessage = "报警声音只能是0（关）或1（开）！";

// Accepted ranges. Minutes stop where minutes x 60000 still fits the stored
// 32-bit count of milliseconds, so no wrapped offline time is ever stored.
inline constexpr int32_t kMinScanSeconds = 1;
inline constexpr int32_t kMaxScanSeconds = 59999;
inline constexpr int32_t kMsPerSecond = 1000;
inline constexpr int32_t kMsPerMinute = 60000;
inline constexpr int32_t kMinOfflineMinutes = 1;
inline constexpr int32_t kMaxOfflineMinutes = INT32_MAX / kMsPerMinute;  // 35791
inline constexpr int32_t kMinBackUpDays = 1;
inline constexpr int32_t kMaxBackUpDays = 364;

// The directory a backup directory setting names: a relative one lies in the
// program directory (never in whatever directory the process was started from).
std::string ResolveBackUpDir(const std::string& programDir, const std::string& utf8);

// The directory must be storable whole (GBK, at most the field's bytes), so
// backups go exactly where the operator said; then it is created with every
// missing parent (relative to the program directory), and an existing
// directory passes.
bool MakeBackUpDir(const std::string& programDir, const std::string& utf8);

// The message of the first check that a stored parameter fails, as the
// settings dialog shows it; nothing for a good one and for keys without
// checks. Key 5 creates its directory, as the dialog does.
std::optional<std::string> CheckParaValue(const std::string& programDir, uint8_t key, int32_t value,
                                          const std::string& text);
