#pragma once
// CSV files as spreadsheet programs open them: UTF-8 with a byte-order mark
// (without it they guess a legacy code page and the Chinese captions turn to
// noise), CRLF line ends, fields quoted as RFC 4180 says.
//
//   EF BB BF                       byte-order mark
//   caption,caption,...   CR LF    one header line
//   cell,"a ""b"", c",... CR LF    one line per row; a field holding a comma,
//                                  a quote, CR or LF is quoted, quotes doubled
//
// A file is written under a temporary name beside the target and renamed
// into place only when complete: a cancelled or failed export leaves neither
// the target nor a part of it, and an existing target stays untouched until
// the rename replaces it.

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "store/DateTime.h"
#include "store/Items.h"

using TCsvRow = std::vector<std::string>;
// Fills `row` with the cells of row `index` (0 <= index < the row count). The
// row keeps its previous cells' storage, so filling it in place is cheap.
using TCsvRowSource = std::function<void(size_t index, TCsvRow& row)>;
// Told the rows written so far and the total, every kCsvProgressStep rows and
// once at the end; returning false cancels the export.
using TCsvProgress = std::function<bool(size_t done, size_t total)>;

inline constexpr size_t kCsvProgressStep = 4096;
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// An export that could not be written; what() is the system's reason and
// Error() its errno.
class ECsvExportError : public std::runtime_error {
  public:
    explicit ECsvExportError(int error);
    int Error() const { return FError; }

  private:
    int FError;
};

enum class TCsvExportResult { Written, Cancelled };

// Appends one field, quoted when it must be.
void AppendCsvField(std::string& out, std::string_view field);
// Appends the fields separated by commas and a CRLF.
void AppendCsvRow(std::string& out, const TCsvRow& row);

// Writes the byte-order mark, the header line and `rowCount` rows to `path`.
// Raises ECsvExportError when the file cannot be made, written or put in
// place; no file is left behind then, nor when `progress` cancels.
TCsvExportResult ExportCsv(const std::string& path, const TCsvRow& headers, size_t rowCount,
                           const TCsvRowSource& rows, const TCsvProgress& progress = {});

// "yyyy-MM-dd HH:mm:ss" (seconds truncated, as the report shows them): the
// form spreadsheet programs read as a date-time in every locale.
std::string CsvDateTimeText(TDateTime value);

// The history report's columns as exported: the report's captions and cells,
// with the time as CsvDateTimeText.
const TCsvRow& ReadingCsvHeaders();
void ReadingCsvCells(const TTmpReading& reading, TCsvRow& row);
// The samples in list order.
TCsvExportResult ExportReadingsCsv(const std::string& path,
                                   const std::vector<TTmpReading>& readings,
                                   const TCsvProgress& progress = {});
