// tcdb's command on the alarm and event log of a program directory.

#include <limits>
#include <optional>

#include "Args.h"
#include "Commands.h"
#include "Csv.h"
#include "store/DateTime.h"
#include "store/EventDbMgr.h"
#include "store/StorePaths.h"

namespace {}  // namespace

void CmdEvents(const TWords& words, std::ostream& out) {
    const TArgs args(words, {"from", "to"});
    args.ExpectPositional(1);
    const std::string fileName = EventFileName(args.Positional()[0]);
    const TTimeOptions range = TimeRangeOptions(args);
    RequireExistingFile(fileName);
    // A reader beside the station: a file it is writing is read again.
    const std::vector<TEventInfo> events = RetryWhileBusy([&] {
        TEventDbMgr mgr(fileName, TEventDbMgr::TSharedRead{});
        std::vector<TEventInfo> list;
        mgr.QueryEvents(list, range.Begin, range.End);
        return list;
    });
    const std::vector<std::string> header = {"RecordId", "DateTime", "TmpAddr", "StationPosName",
                                             "Kind",     "Action",   "Value",   "Detail"};
    WriteCsvLine(out, header);
    for (const TEventInfo& e : events) {
        const std::vector<std::string> row = {
            std::to_string(e.RecordId), FormatIsoDateTime(e.DateTime),
            std::to_string(e.TmpAddr),  e.StationPosName.Utf8(),
            EventKindText(e.Kind),      EventActionText(e.Action),
            std::to_string(e.Value),    e.Detail.Utf8()};
        WriteCsvLine(out, row);
    }
}
