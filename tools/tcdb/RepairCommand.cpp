// tcdb repair: the station's own recovery of a history file that no longer
// opens, by hand. A file that passes the check is left alone.

#include <exception>

#include "Args.h"
#include "Commands.h"
#include "FileCheck.h"
#include "store/DateTime.h"
#include "store/HistoryRecovery.h"

namespace {

std::string Count(int32_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

void CmdRepair(const TWords& words, std::ostream& out) {
    const TArgs args(words, {});
    args.ExpectPositional(1);
    const std::string& fileName = args.Positional()[0];
    RequireExistingFile(fileName);
    RefuseRunningStation(fileName, false);

    try {
        const std::vector<TTableSummary> summaries = CheckDatabaseFile(fileName);
        out << "nothing to repair\n";
        for (const TTableSummary& summary : summaries) out << SummaryLine(summary) << '\n';
        return;
    } catch (const std::exception&) {
        // Damaged: what the recovery makes of it follows.
    }

    THistoryRecovery recovery;
    try {
        recovery = RecoverHistoryFile(fileName, Now());
    } catch (const EHistoryUnrecoverable& refused) {
        throw TToolError("Cannot repair '" + fileName + "': " + refused.what());
    }
    const THistorySalvage& salvage = recovery.Salvage;
    out << "recovered " << Count(static_cast<int32_t>(salvage.Samples.size()), "sample", "samples");
    if (!salvage.Samples.empty()) {
        out << " (record ids " << salvage.Samples.front().RecordId << " to "
            << salvage.Samples.back().RecordId << ")";
    }
    out << " into " << fileName << '\n';
    out << "left out: " << Count(salvage.Unmarked, "slot", "slots")
        << " without the record marker, " << salvage.Deleted << " deleted, "
        << Count(salvage.BadIds, "slot", "slots") << " with an id below 1, "
        << Count(salvage.Duplicates, "duplicate id", "duplicate ids") << '\n';
    out << "original kept as " << recovery.KeptAs << '\n';
}
