#include <filesystem>
#include <functional>
#include <map>

#include "Args.h"
#include "Commands.h"
#include "store/ProgramDirLock.h"

namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: tcdb COMMAND ARGUMENTS\n"
    "  init PROGRAM_DIR\n"
    "  add-station PROGRAM_DIR --addr A --port N --pos TEXT --name TEXT [--baud INDEX]\n"
    "  stations PROGRAM_DIR\n"
    "  params PROGRAM_DIR\n"
    "  set-param PROGRAM_DIR --key K (--value V | --text T)\n"
    "  add-sample FILE --addr A --raw A,B,C,IRON --relay R [--time TIME]\n"
    "  dump FILE [--from TIME] [--to TIME]\n"
    "  report FILE [--from TIME] [--to TIME]\n"
    "  events PROGRAM_DIR [--from TIME] [--to TIME]\n"
    "  check FILE\n"
    "  repair FILE\n"
    "TIME is local time \"YYYY-MM-DD hh:mm:ss[.zzz]\"; PROGRAM_DIR holds data/ and syspara/.\n";

using TCommand = std::function<void(const TWords&, std::ostream&)>;

const std::map<std::string, TCommand>& CommandTable() {
    static const std::map<std::string, TCommand> table = {
        {"init", CmdInit},     {"add-station", CmdAddStation}, {"stations", CmdStations},
        {"params", CmdParams}, {"set-param", CmdSetParam},     {"add-sample", CmdAddSample},
        {"dump", CmdDump},     {"report", CmdReport},          {"check", CmdCheck},
        {"repair", CmdRepair}, {"events", CmdEvents},
    };
    return table;
}

// A reason on one line, whatever the message holds.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

}  // namespace

void RefuseRunningStation(const std::string& path, bool programDir) {
    const std::string running =
        programDir ? (StationRunsIn(path) ? path : std::string()) : RunningStationDirOf(path);
    if (running.empty()) return;
    std::string shown = running;
    while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
    throw TToolError("A station is running in '" + shown +
                     "'; its files are written by it alone. Stop it first");
}

void RequireExistingFile(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status)) {
        throw TToolError("File '" + path + "' does not exist");
    }
    if (std::filesystem::is_directory(status)) {
        throw TToolError("'" + path + "' is a directory, not a database file");
    }
}

int RunTcdb(const TWords& arguments, std::ostream& out, std::ostream& err) {
    try {
        if (arguments.empty()) throw TUsageError("no command given");
        const std::string& name = arguments.front();
        if (name == "help" || name == "--help" || name == "-h") {
            out << kUsage;
            return kExitDone;
        }
        const auto command = CommandTable().find(name);
        if (command == CommandTable().end()) throw TUsageError("unknown command '" + name + "'");
        command->second(TWords(arguments.begin() + 1, arguments.end()), out);
        out.flush();
        return kExitDone;
    } catch (const TUsageError& e) {
        err << "tcdb: " << OneLine(e.what()) << '\n' << kUsage;
        return kExitUsage;
    } catch (const std::exception& e) {
        err << OneLine(e.what()) << '\n';
        return kExitFailed;
    } catch (...) {
        err << "unknown failure\n";
        return kExitFailed;
    }
}
