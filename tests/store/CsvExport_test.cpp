#include "store/CsvExport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "store/CsvTestReader.h"
#include "store/ReportText.h"
#include "store/StoreTestSupport.h"

namespace fs = std::filesystem;

namespace {

// Nothing but the named files in the directory: no leftover temporary file.
std::vector<std::string> Names(const storetest::TTempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.Dir())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

const TCsvRow kAwkward = {"plain",    "a,b", "say \"hi\"", "two\r\nlines", "lf\nonly",
                          "cr\ronly", "",    " ",          "\"",           "中文，全角"};

TTmpReading Reading(TDateTime time, uint16_t a, uint16_t iron, uint8_t relay) {
    TTmpReading r;
    r.DateTime = time;
    r.TmpAddr = 1;
    r.APhaseTmp = a;
    r.BPhaseTmp = 66;
    r.CPhaseTmp = 250;
    r.IronTmp = iron;
    r.RelayFlags = relay;
    return r;
}

}  // namespace

TEST(CsvExport, QuotesOnlyWhatMustBeQuoted) {
    std::string out;
    AppendCsvRow(out, kAwkward);
    EXPECT_EQ(out,
              "plain,\"a,b\",\"say \"\"hi\"\"\",\"two\r\nlines\",\"lf\nonly\",\"cr\ronly\",, "
              ",\"\"\"\",中文，全角\r\n");
}

TEST(CsvExport, FileStartsWithByteOrderMarkAndReadsBackFieldForField) {
    storetest::TTempDir dir;
    const std::string path = dir.File("out.csv");
    const TCsvRow headers = {"时间", "值,单位", "备注"};
    const std::vector<TCsvRow> rows = {kAwkward, {"1", "2", "3"}, {"", "", ""}};
    ASSERT_EQ(
        ExportCsv(path, headers, rows.size(), [&rows](size_t i, TCsvRow& row) { row = rows[i]; }),
        TCsvExportResult::Written);

    const std::string bytes = csvtest::ReadBytes(path);
    ASSERT_EQ(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0);
    const auto records = csvtest::ParseCsv(bytes.substr(3));
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 4u);
    EXPECT_EQ((*records)[0], headers);
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ((*records)[i + 1], rows[i]) << i;
    EXPECT_EQ(Names(dir), std::vector<std::string>{"out.csv"});
}

TEST(CsvExport, DateTimeColumnIsZeroPaddedToTheSecond) {
    EXPECT_EQ(CsvDateTimeText(EncodeDateTime(2006, 2, 4, 9, 5, 7, 999)), "2006-02-04 09:05:07");
    EXPECT_EQ(CsvDateTimeText(EncodeDateTime(2024, 12, 31, 23, 59, 59)), "2024-12-31 23:59:59");
    EXPECT_EQ(CsvDateTimeText(EncodeDateTime(2006, 3, 1)), "2006-03-01 00:00:00");
}

TEST(CsvExport, ReadingsCarryTheReportColumnsWithARealDateTime) {
    storetest::TTempDir dir;
    const std::string path = dir.File("h.csv");
    const std::vector<TTmpReading> readings = {
        Reading(EncodeDateTime(2006, 3, 1, 13, 4, 5), 65, 0, 0x0F),
        Reading(EncodeDateTime(2006, 3, 1), 300, 90, 0x02),
    };
    ASSERT_EQ(ExportReadingsCsv(path, readings), TCsvExportResult::Written);

    const auto records = csvtest::ParseCsv(csvtest::ReadBytes(path).substr(3));
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 3u);
    const TReportRow& captions = ReportCaptions();
    EXPECT_EQ((*records)[0], TCsvRow(captions.begin(), captions.end()));
    EXPECT_EQ((*records)[1], (TCsvRow{"2006-03-01 13:04:05", "25", "26", "210", "未知", "有故障",
                                      "开", "已报警", "已跳闸", "正常", "正常", "故障", "正常"}));
    EXPECT_EQ((*records)[2], (TCsvRow{"2006-03-01 00:00:00", "260", "26", "210", "50", "无故障",
                                      "开", "未报警", "未跳闸", "故障", "正常", "故障", "正常"}));
}

TEST(CsvExport, CancelLeavesNoFileAndKeepsAnOldOne) {
    storetest::TTempDir dir;
    const std::string path = dir.File("out.csv");
    const size_t rows = 3 * kCsvProgressStep;
    auto source = [](size_t i, TCsvRow& row) { row = {std::to_string(i)}; };

    std::vector<size_t> told;
    auto cancelAtSecond = [&told, rows](size_t done, size_t total) {
        EXPECT_EQ(total, rows);
        told.push_back(done);
        return told.size() < 2;
    };
    EXPECT_EQ(ExportCsv(path, {"n"}, rows, source, cancelAtSecond), TCsvExportResult::Cancelled);
    EXPECT_EQ(told, (std::vector<size_t>{kCsvProgressStep, 2 * kCsvProgressStep}));
    EXPECT_TRUE(Names(dir).empty());

    // Cancelled at the very end, with a file of that name already there.
    { std::ofstream(path) << "old"; }
    auto cancelAtEnd = [](size_t done, size_t total) { return done < total; };
    EXPECT_EQ(ExportCsv(path, {"n"}, rows, source, cancelAtEnd), TCsvExportResult::Cancelled);
    EXPECT_EQ(csvtest::ReadBytes(path), "old");
    EXPECT_EQ(Names(dir), std::vector<std::string>{"out.csv"});
}

TEST(CsvExport, FailuresRaiseTheReasonAndLeaveNothing) {
    storetest::TTempDir dir;
    auto source = [](size_t i, TCsvRow& row) { row = {std::to_string(i)}; };

    // No such directory: the temporary file cannot be made.
    EXPECT_THROW(ExportCsv(dir.File("missing/out.csv"), {"n"}, 10, source), ECsvExportError);

    // The target is a directory: everything is written, the rename fails,
    // and the temporary file goes again.
    fs::create_directory(dir.File("taken.csv"));
    try {
        ExportCsv(dir.File("taken.csv"), {"n"}, 10, source);
        ADD_FAILURE() << "no error";
    } catch (const ECsvExportError& e) {
        EXPECT_FALSE(std::string(e.what()).empty());
    }
    EXPECT_EQ(Names(dir), std::vector<std::string>{"taken.csv"});

    // A read-only directory (root may write there regardless).
    fs::create_directory(dir.File("ro"));
    fs::permissions(dir.File("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    if (::geteuid() != 0) {
        EXPECT_THROW(ExportCsv(dir.File("ro/out.csv"), {"n"}, 10, source), ECsvExportError);
        EXPECT_TRUE(fs::is_empty(dir.File("ro")));
    }
}
