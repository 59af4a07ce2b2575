#pragma once
// Where the station keeps its files: everything lives beside the program.
// Paths use '/'; a program directory always ends with one.

#include <cstdint>
#include <string>

// The directory of the running executable, with a trailing '/'; raises
// std::runtime_error when the system cannot tell.
std::string ExeDir();

// ProgramDir with a trailing '/' added when it has none (an empty text stays
// empty: the current directory).
std::string WithTrailingSlash(const std::string& programDir);

// <program dir>data/station.dt
std::string StationFileName(const std::string& programDir);
// <program dir>syspara/para.dt
std::string SysParaFileName(const std::string& programDir);
// <program dir>data/<address in decimal>/HistoryData.dt
std::string HistoryFileName(const std::string& programDir, int32_t tmpAddr);
// <program dir>data/<address in decimal>/, the directory of that file.
std::string HistoryDirName(const std::string& programDir, int32_t tmpAddr);
// <program dir>data/event.dt, the alarm and event log of every station.
std::string EventFileName(const std::string& programDir);
