// tcdb's commands on history files, and the check of any database file.

#include <limits>
#include <optional>
#include <string_view>

#include "Args.h"
#include "Commands.h"
#include "Csv.h"
#include "FileCheck.h"
#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"
#include "store/ReportText.h"

namespace {

constexpr size_t kRawValueCount = 4;

const std::string& FileArgument(const TArgs& args) {
    args.ExpectPositional(1);
    return args.Positional()[0];
}

// Without a range every live sample in ascending record id; with one,
// exactly what the history view's query yields (newest first), a missing
// bound being the earliest or latest possible time.
std::vector<TTmpReading> SelectSamples(const TWords& words) {
    const TArgs args(words, {"from", "to"});
    const std::string& fileName = FileArgument(args);
    const TTimeOptions range = TimeRangeOptions(args);
    RequireExistingFile(fileName);
    // A reader beside the station: a file it is writing is read again.
    return RetryWhileBusy([&] {
        THisInfoDbMgr mgr(fileName, THisInfoDbMgr::TSharedRead{});
        std::vector<TTmpReading> samples;
        if (!args.Has("from") && !args.Has("to")) {
            mgr.ListRecords(samples);
        } else {
            mgr.QueryReadings(samples, range.Begin, range.End);
        }
        return samples;
    });
}

}  // namespace

void CmdAddSample(const TWords& words, std::ostream& out) {
    const TArgs args(words, {"addr", "raw", "relay", "time"});
    const std::string& fileName = FileArgument(args);
    const auto addr = static_cast<uint8_t>(IntegerOption("addr", args.Require("addr"), 1, 255));
    const std::string& rawText = args.Require("raw");
    uint16_t raw[kRawValueCount] = {};
    size_t count = 0;
    std::string_view rest = rawText;
    while (true) {
        const size_t comma = rest.find(',');
        const std::string part(rest.substr(0, comma));
        if (count == kRawValueCount) throw TToolError("--raw needs four values A,B,C,IRON");
        raw[count++] = static_cast<uint16_t>(IntegerOption("raw", part, 0, UINT16_MAX));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (count != kRawValueCount) throw TToolError("--raw needs four values A,B,C,IRON");
    const auto relay = static_cast<uint8_t>(IntegerOption("relay", args.Require("relay"), 0, 255));
    const auto timeText = args.Get("time");
    const TDateTime time = timeText ? TimeOption("time", *timeText) : Now();

    RefuseRunningStation(fileName, false);
    THisInfoDbMgr mgr(fileName);
    out << mgr.AddReading(addr, raw[0], raw[1], raw[2], raw[3], relay, time) << '\n';
}

void CmdDump(const TWords& words, std::ostream& out) {
    const std::vector<TTmpReading> samples = SelectSamples(words);
    const std::vector<std::string> header = {"RecordId",  "DateTime",  "TmpAddr", "APhaseTmp",
                                             "BPhaseTmp", "CPhaseTmp", "IronTmp", "RelayFlags"};
    WriteCsvLine(out, header);
    for (const TTmpReading& r : samples) {
        const std::vector<std::string> row = {
            std::to_string(r.RecordId),  FormatIsoDateTime(r.DateTime), std::to_string(r.TmpAddr),
            std::to_string(r.APhaseTmp), std::to_string(r.BPhaseTmp),   std::to_string(r.CPhaseTmp),
            std::to_string(r.IronTmp),   std::to_string(r.RelayFlags)};
        WriteCsvLine(out, row);
    }
}

void CmdReport(const TWords& words, std::ostream& out) {
    const std::vector<TTmpReading> samples = SelectSamples(words);
    WriteCsvLine(out, ReportCaptions());
    for (const TTmpReading& r : samples) WriteCsvLine(out, ReportCells(r));
}

void CmdCheck(const TWords& words, std::ostream& out) {
    const TArgs args(words, {});
    const std::string& fileName = FileArgument(args);
    for (const TTableSummary& summary :
         RetryWhileBusy([&] { return CheckDatabaseFile(fileName, true); })) {
        out << SummaryLine(summary) << '\n';
    }
}
