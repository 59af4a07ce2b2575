#include "FileCheck.h"

#include <stdexcept>

#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltIndex.h"
#include "engine/VeltTable.h"
#include "store/TableWalk.h"

namespace {

// Every file of the station is written under the empty password.
const std::string kPassword;

[[noreturn]] void RaiseOutOfOrder(const std::string& index, int32_t recordId) {
    throw std::runtime_error(std::string(velt_msg::kFileCorrupt) + ": index '" + index +
                             "' is out of order at record id " + std::to_string(recordId));
}

// Each record's key must not sort below its predecessor's; equal keys go by
// ascending record id.
void CheckChainOrder(const TVeltTable& table, const TVeltIndex& index,
                     const std::vector<uint8_t>& data) {
    const int32_t recordSize = table.RecordSize();
    const TIndexEntry& entry = index.Definition();
    const int32_t fieldCount = entry.KeyFieldCount.Get();
    const TRunList& ids = index.Ids();
    for (size_t i = 1; i < ids.size(); ++i) {
        const int32_t before = table.IdMap().IndexOf(ids[i - 1]);
        const int32_t after = table.IdMap().IndexOf(ids[i]);
        if (before < 0 || after < 0) RaiseOutOfOrder(index.IndexName(), ids[i]);
        const uint8_t* a = data.data() + static_cast<size_t>(before) * recordSize;
        const uint8_t* b = data.data() + static_cast<size_t>(after) * recordSize;
        int32_t order = 0;
        for (int32_t f = 0; f < fieldCount && order == 0; ++f) {
            // Offsets were checked against the record size when the table opened.
            const int32_t offset = entry.Fields[f].Offset.Get();
            order = CompareKeyField(entry.Fields[f].FieldType, a + offset, b + offset,
                                    recordSize - offset);
        }
        if (order > 0 || (order == 0 && ids[i - 1] > ids[i])) {
            RaiseOutOfOrder(index.IndexName(), ids[i]);
        }
    }
}

TTableSummary CheckTable(TVeltDatabase& database, const std::string& name) {
    TVeltTable table(&database);
    // Opening reads every stored record and walks every index chain.
    table.Open(name, true);
    TTableSummary summary;
    summary.Name = name;
    summary.Records = table.RecordCount();

    // Every live record through the cache, which checks each record's
    // marker, decrypted in position order.
    const auto recordSize = static_cast<size_t>(table.RecordSize());
    std::vector<uint8_t> data(static_cast<size_t>(summary.Records) * recordSize);
    TTableWalk walk(&table);
    for (int32_t position = 0; position < summary.Records; ++position) {
        walk.Before(position);
        int32_t recordId = 0;
        if (!table.ReadRecord(position, recordId,
                              data.data() + static_cast<size_t>(position) * recordSize)) {
            RaiseFileCorrupt();
        }
    }
    walk.Finish();
    for (int32_t k = 0; k < table.IndexCount(); ++k) {
        const TVeltIndex& index = table.Index(k);
        CheckChainOrder(table, index, data);
        summary.Indexes.push_back(index.IndexName());
    }
    table.Close();
    return summary;
}

}  // namespace

std::vector<TTableSummary> CheckDatabaseFile(const std::string& fileName, bool shared) {
    TVeltDatabase database;
    database.SetExclusive(!shared);
    if (!database.Open(fileName, kPassword)) {
        throw std::runtime_error("Database file '" + database.FileName() +
                                 "' is not written under the station's password");
    }
    std::vector<TTableSummary> summaries;
    const std::vector<std::string> names = database.TableNames();
    for (const std::string& name : names) {
        try {
            summaries.push_back(CheckTable(database, name));
        } catch (const EFileBusy&) {
            throw;  // the file, not the table: the caller may read again
        } catch (const EFileChanged&) {
            throw;
        } catch (const std::exception& e) {
            throw std::runtime_error("Table '" + name + "': " + e.what());
        }
    }
    database.Close();
    return summaries;
}

std::string SummaryLine(const TTableSummary& summary) {
    std::string line = summary.Name + ": " + std::to_string(summary.Records) +
                       (summary.Records == 1 ? " record" : " records") + ", indexes: ";
    if (summary.Indexes.empty()) return line + "none";
    for (size_t i = 0; i < summary.Indexes.size(); ++i) {
        if (i > 0) line += ", ";
        line += summary.Indexes[i];
    }
    return line;
}
