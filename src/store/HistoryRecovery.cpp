#include "store/HistoryRecovery.h"

#include <algorithm>

namespace {

THistorySalvage AsSamples(const TTableSalvage& table) {
    THistorySalvage salvage;
    salvage.Samples.resize(table.Count());
    for (size_t i = 0; i < table.Count(); ++i) {
        salvage.Samples[i].RecordId = table.Ids[i];
        std::copy_n(table.RecordData(i), kHistoryRecordSize, salvage.Samples[i].Data.begin());
    }
    salvage.Slots = table.Slots;
    salvage.Unmarked = table.Unmarked;
    salvage.Deleted = table.Deleted;
    salvage.BadIds = table.BadIds;
    salvage.Duplicates = table.Duplicates;
    return salvage;
}

}  // namespace

THistorySalvage SalvageHistoryFile(const std::string& fileName) {
    return AsSamples(SalvageTableFile(fileName, kHistoryKind));
}

THistoryRecovery RecoverHistoryFile(const std::string& fileName, TDateTime now, bool durable) {
    const TTableRecovery recovery = RecoverTableFile(fileName, kHistoryKind, now, durable);
    return THistoryRecovery{AsSamples(recovery.Salvage), recovery.KeptAs};
}

std::string SetHistoryFileAside(const std::string& fileName, TDateTime now, bool durable) {
    return SetFileAside(fileName, now, durable);
}
