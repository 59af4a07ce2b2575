// tcdb repair: the station's own recovery of a history file, the station
// file or the parameter file that no longer opens, by hand; which of them a
// file is, the table it holds says. A file that passes the check is left
// alone.

#include <exception>

#include "Args.h"
#include "Commands.h"
#include "FileCheck.h"
#include "store/DateTime.h"
#include "store/TableRecovery.h"

namespace {

std::string Count(int32_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What a record of the kind is called in the report.
std::string Records(const TTableKind& kind, int32_t n) {
    if (&kind == &kHistoryKind) return Count(n, "sample", "samples");
    if (&kind == &kStationKind) return Count(n, "station", "stations");
    return Count(n, "parameter", "parameters");
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

    TTableRecovery recovery;
    try {
        const TTableKind& kind = KindOfFile(fileName);
        recovery = RecoverTableFile(fileName, kind, Now());
        out << "recovered " << Records(kind, static_cast<int32_t>(recovery.Salvage.Count()));
    } catch (const ETableUnrecoverable& refused) {
        throw TToolError("Cannot repair '" + fileName + "': " + refused.what());
    }
    const TTableSalvage& salvage = recovery.Salvage;
    if (salvage.Count() > 0) {
        out << " (record ids " << salvage.Ids.front() << " to " << salvage.Ids.back() << ")";
    }
    out << " into " << fileName << '\n';
    out << "left out: " << Count(salvage.Unmarked, "slot", "slots")
        << " without the record marker, " << salvage.Deleted << " deleted, "
        << Count(salvage.BadIds, "slot", "slots") << " with an id below 1, "
        << Count(salvage.Duplicates, "duplicate id", "duplicate ids") << '\n';
    out << "original kept as " << recovery.KeptAs << '\n';
}
