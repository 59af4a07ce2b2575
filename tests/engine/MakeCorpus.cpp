// Writes the fuzz seed corpus: small valid files made by the engine, and
// truncated or damaged copies of them.
//   engine_make_corpus <directory>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/VeltDatabase.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"

namespace {

using TBytes = std::vector<uint8_t>;

TBytes Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), {});
}

void Write(const std::string& path, const TBytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

TBytes Sample(double time, int tag) {
    TBytes data(18, 0);
    uint64_t bits;
    std::memcpy(&bits, &time, sizeof bits);
    for (int i = 0; i < 8; ++i) data[i] = static_cast<uint8_t>(bits >> (8 * i));
    for (int i = 8; i < 18; ++i) data[i] = static_cast<uint8_t>(tag + i);
    return data;
}

bool Make(const std::string& path, bool encrypted) {
    TVeltDatabase db;
    return db.CreateDatabase(path, false, "Zlib", encrypted, "Blowfish", "") && db.Open(path, "");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::filesystem::create_directories(dir);
    auto at = [&](const char* name) { return dir + "/" + name; };

    Make(at("empty.dt"), true);

    {  // history: capacity 4, grown twice, one record deleted, one updated
        TVeltDatabase db;
        Make(at("history.dt"), true);
        db.Open(at("history.dt"), "");
        db.CreateTable("HisDataTable", 18, 0, 4);
        db.CreateIndex("HisDataTable", "DateTime", 0, ftDateTime);
        TVeltTable table(&db);
        table.Open("HisDataTable");
        const double times[] = {45000.5, 45000.25, 45000.75, 45000.25, 45001, 44999, 45002};
        for (int i = 0; i < 7; ++i) table.Append(Sample(times[i], i).data(), 18);
        table.Delete(3);
        table.Update(2, Sample(45003, 9).data(), 18);
    }
    {  // two tables appended alternately (the growth area moves), unencrypted
        TVeltDatabase db;
        Make(at("two-tables.dt"), false);
        db.Open(at("two-tables.dt"), "");
        db.CreateTable("StationTable", 49, 0, 2);
        db.CreateIndex("StationTable", "TmpAddr", 0, ftUInt8);
        db.CreateTable("SysparaTable", 130, 0, 1);
        db.CreateCompoundIndex("SysparaTable", "Pair", {{0, ftUInt8}, {4, ftString}});
        TVeltTable a(&db), b(&db);
        a.Open("StationTable");
        b.Open("SysparaTable");
        for (int i = 0; i < 3; ++i) {
            TBytes station(49, static_cast<uint8_t>(7 - i));
            TBytes para(130, 0);
            para[0] = static_cast<uint8_t>(i % 2);
            std::snprintf(reinterpret_cast<char*>(&para[4]), 20, "text%d", 3 - i);
            a.Append(station.data(), 49);
            b.Append(para.data(), 130);
        }
    }

    {  // records far larger than the station's: two of 8 KiB
        TVeltDatabase db;
        Make(at("large-record.dt"), false);
        db.Open(at("large-record.dt"), "");
        db.CreateTable("Large", 8192, 0, 2);
        TVeltTable table(&db);
        table.Open("Large");
        TBytes data(8192, 0x5A);
        table.Append(data.data(), 8192);
        table.Append(data.data(), 8192);
    }

    const TBytes history = Read(at("history.dt"));
    const int32_t def = GetLe32(&history[kDirectoryOffset + 8]);
    auto variant = [&](const char* name, auto change) {
        TBytes bytes = history;
        change(bytes);
        Write(at(name), bytes);
    };
    variant("truncated-header.dt", [](TBytes& b) { b.resize(3000); });
    variant("truncated-definition.dt", [&](TBytes& b) { b.resize(def + 300); });
    variant("truncated-records.dt", [&](TBytes& b) { b.resize(def + 1450 + 28 * 2 + 11); });
    variant("bad-marker.dt", [&](TBytes& b) { b[def + 1450] = 0x55; });
    variant("head-outside.dt", [&](TBytes& b) { PutLe32(&b[def + 69 + 33], 40); });
    variant("cycle.dt", [&](TBytes& b) {
        const int32_t growth = GetLe32(&b[def + 41]);
        PutLe32(&b[growth + 6], GetLe32(&b[def + 69 + 33]));
    });
    variant("table-count.dt", [](TBytes& b) { PutLe32(&b[kDirectoryOffset], 300); });
    variant("index-count.dt", [&](TBytes& b) { PutLe32(&b[def + 65], 9); });
    variant("key-fields.dt", [&](TBytes& b) { PutLe32(&b[def + 69 + 37], 0); });
    variant("record-size.dt", [&](TBytes& b) { PutLe32(&b[def + 57], -40); });
    variant("growth-count.dt", [&](TBytes& b) { PutLe32(&b[def + 45], 1 << 28); });

    // Layouts whose blocks and areas share bytes, and orders no writer makes.
    variant("primary-over-growth.dt", [&](TBytes& b) {
        PutLe32(&b[def + 33], GetLe32(&b[def + 41]));
        PutLe32(&b[def + 37], GetLe32(&b[def + 45]));
    });
    variant("area-over-definition.dt", [&](TBytes& b) {
        PutLe32(&b[def + 33], def + 100);
        PutLe32(&b[def + 37], 1);
    });
    variant("growth-in-directory.dt", [&](TBytes& b) { PutLe32(&b[def + 41], kDirectoryOffset); });
    variant("one-definition-256.dt", [&](TBytes& b) {
        PutLe32(&b[kDirectoryOffset], kMaxTables);
        for (int i = 0; i < kMaxTables; ++i) PutLe32(&b[kDirectoryOffset + 8 + 4 * i], def);
    });
    variant("primary-count.dt", [&](TBytes& b) {
        PutLe32(&b[def + 33], def + 1450);
        PutLe32(&b[def + 37], 1000);
    });
    variant("descending-ids.dt", [&](TBytes& b) {
        const int32_t growth = GetLe32(&b[def + 41]);
        const int32_t count = GetLe32(&b[def + 45]);
        for (int32_t s = 0; s < count; ++s) PutLe32(&b[growth + 28 * s + 2], 100 - s);
    });
    const TBytes two = Read(at("two-tables.dt"));
    const int32_t second = GetLe32(&two[kDirectoryOffset + 12]);
    auto twoVariant = [&](const char* name, auto change) {
        TBytes bytes = two;
        change(bytes);
        Write(at(name), bytes);
    };
    twoVariant("shared-growth-area.dt", [&](TBytes& b) {
        const int32_t first = GetLe32(&b[kDirectoryOffset + 8]);
        for (const int field : {41, 45, 49})
            PutLe32(&b[second + field], GetLe32(&b[first + field]));
    });
    twoVariant("duplicate-names.dt",
               [&](TBytes& b) { std::memcpy(&b[second], "stationtable", 13); });
    return 0;
}
