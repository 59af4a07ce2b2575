#pragma once
// The in-memory items the table managers make from stored records. Texts are
// kept as stored: GBK bytes, length-prefixed, cut to the field's byte limit.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/DateTime.h"
#include "store/GbkText.h"

// A length-prefixed text of at most N bytes (one length byte, N text bytes).
template <size_t N>
struct TShortString {
    static_assert(N <= 255, "the length must fit in its prefix byte");
    static constexpr size_t kCapacity = N;

    uint8_t Length = 0;
    char Text[N] = {};

    // GBK bytes, cut to N without splitting a double-byte character.
    void AssignGbk(std::string_view gbk) {
        std::string_view cut = CutGbk(gbk, N);
        std::memset(Text, 0, N);
        std::memcpy(Text, cut.data(), cut.size());
        Length = static_cast<uint8_t>(cut.size());
    }
    void AssignUtf8(std::string_view utf8) { AssignGbk(Utf8ToGbk(utf8)); }

    // The stored form is N + 1 bytes: the length, then N text bytes of which
    // those past the length are zero.
    static constexpr size_t kStoredSize = N + 1;
    // Field must hold kStoredSize bytes. A length above N (a damaged record)
    // is taken as N, and the text is cut like any other.
    void Load(const uint8_t* field) {
        const size_t length = field[0] <= N ? field[0] : N;
        AssignGbk(std::string_view(reinterpret_cast<const char*>(field + 1), length));
    }
    void Store(uint8_t* field) const {
        field[0] = Length;
        std::memcpy(field + 1, Text, N);
    }
    std::string_view Gbk() const { return std::string_view(Text, Length <= N ? Length : N); }
    std::string Utf8() const { return GbkToUtf8(Gbk()); }
    bool operator==(const TShortString& other) const { return Gbk() == other.Gbk(); }
};

// One stored station ("StationTable").
struct TStationInfo {
    int32_t RecordId = 0;
    TShortString<20> DevName;
    TShortString<20> StationPosName;
    uint8_t TmpAddr = 0;
    uint8_t PortNo = 0;
    uint8_t PortBaud = 0;
    uint8_t PortBitSize = 0;
    uint8_t PortParity = 0;
    uint8_t PortStopBits = 0;
    uint8_t PortDtrControl = 0;
};

// One history sample ("HisDataTable"); raw register values as received.
struct TTmpReading {
    int32_t RecordId = 0;
    TDateTime DateTime = 0;
    uint8_t TmpAddr = 0;
    uint16_t APhaseTmp = 0;
    uint16_t BPhaseTmp = 0;
    uint16_t CPhaseTmp = 0;
    uint16_t IronTmp = 0;
    uint8_t RelayFlags = 0;
};

// A list of samples once read (newest first), shared by what shows, prints
// or exports it. Nobody changes a list once shared: new rows come as a new
// list, so a print or an export may go on reading the one it was given.
using TReadingList = std::shared_ptr<const std::vector<TTmpReading>>;

// One stored parameter ("SysparaTable"): a key that uses its value or text.
struct TSysParaItem {
    int32_t RecordId = 0;
    uint8_t ParaKey = 0;
    int32_t Value = 0;
    TShortString<124> Text;
};

// Parameter keys.
enum TSysParaKey : uint8_t {
    kParaScanInterval = 0,
    kParaMaxOLTimer = 1,
    kParaIsBackUp = 2,
    kParaLastBackUpDate = 3,
    kParaBackUpInterval = 4,
    kParaBackUpPath = 5,
    // Added later: files without it load its default.
    kParaAutoReconnect = 6,
    // Added later still, the same way: files without it load its default.
    kParaReplyTimeout = 7,
    // The alarm settings, added the same way: files without them load their
    // defaults (no temperature limit, sound on).
    kParaTempLimit = 8,
    kParaAlarmSound = 9,
};

// The settings block built from the parameters; all zero before loading.
struct TSysParaInfo {
    int32_t ScanInterval = 0;  // ms
    int32_t MaxOLTimer = 0;    // ms
    bool IsBackUp = false;
    TShortString<20> LastBackUpDate;
    int32_t BackUpInterval = 0;  // days
    TShortString<124> BackUpPath;
    // Stations declared absent are polled again now and then (on unless
    // stored as 0).
    bool AutoReconnect = false;
    // How long a request on a shared line waits for its reply before the
    // next one goes out (ms).
    int32_t ReplyTimeout = 0;
    // The "温度越限" alarm's limit in degrees Celsius (as the live view shows
    // them); 0 = no limit.
    int32_t TempLimit = 0;
    // Unacknowledged alarms sound (on unless stored as 0).
    bool AlarmSound = false;
};
