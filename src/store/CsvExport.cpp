#include "store/CsvExport.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "store/ReportText.h"

namespace {

// Bytes gathered before each write(): few system calls for a year of rows.
constexpr size_t kWriteChunk = 1 << 20;

// The temporary file beside the target: created exclusively under a name no
// other export of this or another process uses at the same time, removed
// again unless Commit put it in place.
class TTemporaryCsvFile {
  public:
    explicit TTemporaryCsvFile(const std::string& target) : FTarget(target) {
        static std::atomic<unsigned> counter{0};
        FPath = target + "." + std::to_string(::getpid()) + "-" +
                std::to_string(counter.fetch_add(1)) + ".part";
        do {
            FHandle = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        } while (FHandle < 0 && errno == EINTR);
        if (FHandle < 0) throw ECsvExportError(errno);
    }
    ~TTemporaryCsvFile() {
        if (FHandle >= 0) ::close(FHandle);
        if (!FCommitted) ::unlink(FPath.c_str());
    }
    TTemporaryCsvFile(const TTemporaryCsvFile&) = delete;
    TTemporaryCsvFile& operator=(const TTemporaryCsvFile&) = delete;

    void Write(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::write(FHandle, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                throw ECsvExportError(errno);
            }
            bytes.remove_prefix(static_cast<size_t>(n));
        }
    }

    // The data on stable storage first, so a power cut after the rename
    // never leaves an empty file under the target's name.
    void Commit() {
        if (::fsync(FHandle) != 0) throw ECsvExportError(errno);
        const int handle = std::exchange(FHandle, -1);
        if (::close(handle) != 0) throw ECsvExportError(errno);
        if (std::rename(FPath.c_str(), FTarget.c_str()) != 0) {
            throw ECsvExportError(errno);
        }
        FCommitted = true;
    }

  private:
    std::string FTarget;
    std::string FPath;
    int FHandle = -1;
    bool FCommitted = false;
};

void AppendTwoDigits(std::string& out, int value) {
    out.push_back(static_cast<char>('0' + value / 10 % 10));
    out.push_back(static_cast<char>('0' + value % 10));
}

}  // namespace

ECsvExportError::ECsvExportError(int error)
    : std::runtime_error(std::strerror(error)), FError(error) {}

void AppendCsvField(std::string& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out.append(field);
        return;
    }
    out.push_back('"');
    for (const char c : field) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

void AppendCsvRow(std::string& out, const TCsvRow& row) {
    for (size_t i = 0; i < row.size(); ++i) {
        if (i > 0) out.push_back(',');
        AppendCsvField(out, row[i]);
    }
    out.append("\r\n");
}

TCsvExportResult ExportCsv(const std::string& path, const TCsvRow& headers, size_t rowCount,
                           const TCsvRowSource& rows, const TCsvProgress& progress) {
    TTemporaryCsvFile file(path);
    std::string buffer;
    buffer.reserve(kWriteChunk + 4096);
    buffer.append(kUtf8ByteOrderMark);
    AppendCsvRow(buffer, headers);

    TCsvRow row;
    for (size_t i = 0; i < rowCount; ++i) {
        if (progress && i % kCsvProgressStep == 0 && i > 0 && !progress(i, rowCount)) {
            return TCsvExportResult::Cancelled;
        }
        rows(i, row);
        AppendCsvRow(buffer, row);
        if (buffer.size() >= kWriteChunk) {
            file.Write(buffer);
            buffer.clear();
        }
    }
    file.Write(buffer);
    // The last word before the file appears: cancelling here still leaves none.
    if (progress && !progress(rowCount, rowCount)) return TCsvExportResult::Cancelled;
    file.Commit();
    return TCsvExportResult::Written;
}

std::string CsvDateTimeText(TDateTime value) {
    const TDateTimeParts p = DecodeDateTime(value);
    if (p.Year < 1 || p.Year > 9999) {
        // Outside four digits: no spreadsheet reads it anyway, keep it legible.
        char buf[48];
        std::snprintf(buf, sizeof buf, "%d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day,
                      p.Hour, p.Minute, p.Second);
        return buf;
    }
    std::string text;
    text.reserve(19);
    AppendTwoDigits(text, p.Year / 100);
    AppendTwoDigits(text, p.Year);
    text.push_back('-');
    AppendTwoDigits(text, p.Month);
    text.push_back('-');
    AppendTwoDigits(text, p.Day);
    text.push_back(' ');
    AppendTwoDigits(text, p.Hour);
    text.push_back(':');
    AppendTwoDigits(text, p.Minute);
    text.push_back(':');
    AppendTwoDigits(text, p.Second);
    return text;
}

const TCsvRow& ReadingCsvHeaders() {
    static const TCsvRow headers(ReportCaptions().begin(), ReportCaptions().end());
    return headers;
}

void ReadingCsvCells(const TTmpReading& reading, TCsvRow& row) {
    row.resize(kReportColumnCount);
    row[0] = CsvDateTimeText(reading.DateTime);
    for (size_t column = 1; column < kReportColumnCount; ++column) {
        row[column] = ReportCell(reading, column);
    }
}

TCsvExportResult ExportReadingsCsv(const std::string& path,
                                   const std::vector<TTmpReading>& readings,
                                   const TCsvProgress& progress) {
    return ExportCsv(
        path, ReadingCsvHeaders(), readings.size(),
        [&readings](size_t index, TCsvRow& row) { ReadingCsvCells(readings[index], row); },
        progress);
}
