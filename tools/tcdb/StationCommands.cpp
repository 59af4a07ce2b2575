// tcdb's commands on a station's program directory (data/station.dt and
// syspara/para.dt).

#include <filesystem>
#include <optional>

#include "Args.h"
#include "Commands.h"
#include "Csv.h"
#include "store/GbkText.h"
#include "store/StationChecks.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"
#include "store/SysParaChecks.h"
#include "store/SysParaDbMgr.h"

namespace {

constexpr size_t kParaTextBytes = TShortString<124>::kCapacity;

std::string AbsoluteProgramDir(const std::string& dir) {
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(dir, error);
    if (error) throw TToolError("Cannot resolve '" + dir + "': " + error.message());
    return WithTrailingSlash(path.lexically_normal().string());
}

const std::string& ProgramDirArgument(const TArgs& args) {
    args.ExpectPositional(1);
    return args.Positional()[0];
}

}  // namespace

void CmdInit(const TWords& words, std::ostream& out) {
    const TArgs args(words, {});
    const std::string dir = AbsoluteProgramDir(ProgramDirArgument(args));
    RefuseRunningStation(dir, true);
    TStationDbMgr stations(StationFileName(dir));
    TSysParaDbMgr paras(SysParaFileName(dir));
    const bool empty = paras.RecordCount() == 0;
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    LoadSysParas(paras, list, info, dir);
    out << stations.FileName() << ": " << stations.RecordCount() << " stations\n";
    out << paras.FileName() << ": " << paras.RecordCount() << " parameters"
        << (empty ? ", defaults written" : "") << '\n';
}

void CmdAddStation(const TWords& words, std::ostream& out) {
    const TArgs args(words, {"addr", "port", "pos", "name", "baud"});
    const std::string fileName = StationFileName(ProgramDirArgument(args));
    RefuseRunningStation(ProgramDirArgument(args), true);
    TStationEntry entry;
    entry.DevName = args.Require("name");
    entry.StationPosName = args.Require("pos");
    entry.TmpAddr = args.Require("addr");
    const std::string& port = args.Require("port");
    entry.PortName =
        port.find(kPortNamePrefix) == std::string::npos ? kPortNamePrefix + port : port;
    if (const auto baud = args.Get("baud")) entry.PortBaud = DecimalOr(*baud, -1);

    // A rejected station leaves no file behind: the table is made only for
    // a station that passed every check.
    std::optional<TStationDbMgr> mgr;
    std::vector<int32_t> used;
    std::vector<TStationInfo> stations;
    if (std::filesystem::exists(fileName)) {
        mgr.emplace(fileName);
        mgr->ListStations(stations);
        for (const TStationInfo& station : stations) used.push_back(station.TmpAddr);
    }
    TStationFields fields;
    if (const auto message = CheckStationEntry(entry, used, fields)) throw TToolError(*message);
    // Stations naming one port share its line.
    if (const auto message = CheckLineBaud(fields.PortNo, fields.PortBaud, stations)) {
        throw TToolError(*message);
    }
    if (!mgr) mgr.emplace(fileName);
    const int32_t id = mgr->AddStation(
        fields.DevName, fields.StationPosName, fields.TmpAddr, fields.PortNo, fields.PortBaud,
        fields.PortBitSize, fields.PortParity, fields.PortStopBits, fields.PortDtrControl);
    out << id << '\n';
}

void CmdStations(const TWords& words, std::ostream& out) {
    const TArgs args(words, {});
    const std::string fileName = StationFileName(ProgramDirArgument(args));
    RequireExistingFile(fileName);
    const std::vector<TStationInfo> stations = RetryWhileBusy([&] {
        TStationDbMgr mgr(fileName);
        std::vector<TStationInfo> list;
        mgr.ListStations(list);
        return list;
    });
    const std::vector<std::string> header = {
        "RecordId", "TmpAddr",     "DevName",    "StationPosName", "PortNo",
        "PortBaud", "PortBitSize", "PortParity", "PortStopBits",   "PortDtrControl"};
    WriteCsvLine(out, header);
    for (const TStationInfo& s : stations) {
        const std::vector<std::string> row = {std::to_string(s.RecordId),
                                              std::to_string(s.TmpAddr),
                                              s.DevName.Utf8(),
                                              s.StationPosName.Utf8(),
                                              std::to_string(s.PortNo),
                                              std::to_string(s.PortBaud),
                                              std::to_string(s.PortBitSize),
                                              std::to_string(s.PortParity),
                                              std::to_string(s.PortStopBits),
                                              std::to_string(s.PortDtrControl)};
        WriteCsvLine(out, row);
    }
}

void CmdParams(const TWords& words, std::ostream& out) {
    const TArgs args(words, {});
    const std::string fileName = SysParaFileName(ProgramDirArgument(args));
    RequireExistingFile(fileName);
    const std::vector<TSysParaItem> paras = RetryWhileBusy([&] {
        TSysParaDbMgr mgr(fileName);
        std::vector<TSysParaItem> list;
        mgr.ListParas(list);
        return list;
    });
    const std::vector<std::string> header = {"RecordId", "ParaKey", "Value", "Text"};
    WriteCsvLine(out, header);
    for (const TSysParaItem& p : paras) {
        const std::vector<std::string> row = {std::to_string(p.RecordId), std::to_string(p.ParaKey),
                                              std::to_string(p.Value), p.Text.Utf8()};
        WriteCsvLine(out, row);
    }
}

void CmdSetParam(const TWords& words, std::ostream&) {
    const TArgs args(words, {"key", "value", "text"});
    const std::string fileName = SysParaFileName(ProgramDirArgument(args));
    const std::string& keyText = args.Require("key");
    if (args.Has("value") == args.Has("text")) {
        throw TUsageError("set-param needs exactly one of --value and --text");
    }
    const auto key = static_cast<uint8_t>(IntegerOption("key", keyText, 0, UINT8_MAX));
    // As the settings dialog writes: a value key with an empty text, a text
    // key with the value 0.
    int32_t value = 0;
    std::string text;
    if (const auto v = args.Get("value")) {
        value = static_cast<int32_t>(IntegerOption("value", *v, INT32_MIN, INT32_MAX));
    } else {
        text = *args.Get("text");
        if (GbkByteLength(text) > kParaTextBytes) {
            throw TToolError("--text is longer than " + std::to_string(kParaTextBytes) +
                             " GBK bytes");
        }
    }
    RequireExistingFile(fileName);
    RefuseRunningStation(ProgramDirArgument(args), true);
    // The settings dialog's checks, with its messages; a backup directory is
    // created as the dialog creates it.
    const std::string dir = AbsoluteProgramDir(ProgramDirArgument(args));
    if (const auto message = CheckParaValue(dir, key, value, text)) throw TToolError(*message);
    TSysParaDbMgr mgr(fileName);
    std::vector<TSysParaItem> paras;
    mgr.ListParas(paras);
    // A key the station reads but an older file lacks gets its record.
    const bool addedLater = key == kParaAutoReconnect || key == kParaReplyTimeout ||
                            key == kParaTempLimit || key == kParaAlarmSound;
    const int32_t written = addedLater ? WriteOrAddPara(mgr, paras, key, value, text)
                                       : WritePara(mgr, paras, key, value, text);
    if (written == 0) {
        throw TToolError("No parameter record holds key " + std::to_string(key));
    }
}
