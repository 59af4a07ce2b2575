#pragma once
// The subcommands of tcdb. Each takes the words after its name and writes
// its output to Out; failures are TUsageError (exit 2) or any other
// exception (exit 1, its message on one line).

#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/VeltErrors.h"

using TWords = std::vector<std::string>;

// Station program directory: init, add-station, stations, params, set-param.
void CmdInit(const TWords& words, std::ostream& out);
void CmdAddStation(const TWords& words, std::ostream& out);
void CmdStations(const TWords& words, std::ostream& out);
void CmdParams(const TWords& words, std::ostream& out);
void CmdSetParam(const TWords& words, std::ostream& out);

// History files: add-sample, dump, report; any database file: check.
void CmdAddSample(const TWords& words, std::ostream& out);
void CmdDump(const TWords& words, std::ostream& out);
void CmdReport(const TWords& words, std::ostream& out);
void CmdCheck(const TWords& words, std::ostream& out);
// The alarm and event log of a program directory, newest first.
void CmdEvents(const TWords& words, std::ostream& out);
// A history file that no longer opens: its intact samples into a fresh file,
// the original kept aside.
void CmdRepair(const TWords& words, std::ostream& out);

// Raises TToolError unless Path names an existing file: the commands that
// only read never create one.
void RequireExistingFile(const std::string& path);

// Raises TToolError when a station is running on the program directory Dir
// (ProgramDir set) or on the program directory File lies in: its files are
// the running station's alone to write.
void RefuseRunningStation(const std::string& path, bool programDir);

// Runs Read, a reading of files a running station may be writing, again
// while it meets a file the station holds locked or has changed meanwhile
// (EFileBusy, EFileChanged), up to kBusyLimit; then the last such error
// passes on. The station holds a history file for as long as its first
// sample takes to open it, which for years of samples on a busy machine
// can be many seconds.
inline constexpr std::chrono::milliseconds kBusyLimit{60000};
template <class TRead>
auto RetryWhileBusy(TRead read) -> decltype(read()) {
    const auto deadline = std::chrono::steady_clock::now() + kBusyLimit;
    while (true) {
        try {
            return read();
        } catch (const EFileBusy&) {
            if (std::chrono::steady_clock::now() >= deadline) throw;
        } catch (const EFileChanged&) {
            if (std::chrono::steady_clock::now() >= deadline) throw;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Runs one tcdb command line (without the program name); returns the exit
// status: 0 done, 1 failed (reason on Err), 2 wrong usage (usage on Err).
int RunTcdb(const TWords& arguments, std::ostream& out, std::ostream& err);
