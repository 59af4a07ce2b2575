// Figures for the page "设备总览" with 255 stations: a full refresh after a
// pass, one row after a reply, with nothing changed and with every station's
// values changed. The window redraws the page at most once per pass and one
// row per reply, so these bound the time a 1 s scan of 255 stations costs
// the event loop. Runs on the offscreen platform unless told otherwise.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTableWidget>
#include <memory>
#include <vector>

#include "app/OverviewView.h"
#include "common/QtBenchMain.h"
#include "polling/StationState.h"
#include "store/Items.h"

namespace {

constexpr int kStations = 255;

struct TRig {
    TRig() {
        infos.resize(kStations);
        for (int i = 0; i < kStations; ++i) {
            infos[static_cast<size_t>(i)].StationPosName.AssignUtf8(std::to_string(i + 1) +
                                                                    "号主变");
            infos[static_cast<size_t>(i)].DevName.AssignUtf8("温控器");
            auto station = std::make_unique<TStationState>();
            station->Address = static_cast<uint8_t>(i + 1);
            station->Station = &infos[static_cast<size_t>(i)];
            station->State = kStateConnected;
            station->RawTemp = {100, 101, 102, 0};
            station->RelayFlags = 0x02;
            pointers.push_back(station.get());
            stations.push_back(std::move(station));
        }
        page.resize(1200, 800);
        page.show();
        page.Refresh(pointers);
        QApplication::processEvents();
    }
    // Every station's values change, as after a temperature pass.
    void Step(int n) {
        for (TStationState* station : pointers) {
            station->RawTemp[0] = static_cast<uint16_t>(100 + n % 50);
            station->RelayFlags = static_cast<uint8_t>(n % 2 == 0 ? 0x02 : 0x0A);
        }
    }

    std::vector<TStationInfo> infos;
    std::vector<std::unique_ptr<TStationState>> stations;
    std::vector<TStationState*> pointers;
    TOverviewPage page;
};

void BM_OverviewRefreshUnchanged(benchmark::State& state) {
    TRig rig;
    for (auto _ : state) {
        rig.page.Refresh(rig.pointers);
        QApplication::processEvents();
    }
}
BENCHMARK(BM_OverviewRefreshUnchanged)->Unit(benchmark::kMillisecond);

void BM_OverviewRefreshAllChanged(benchmark::State& state) {
    TRig rig;
    int n = 0;
    for (auto _ : state) {
        rig.Step(++n);
        rig.page.Refresh(rig.pointers);
        QApplication::processEvents();
    }
}
BENCHMARK(BM_OverviewRefreshAllChanged)->Unit(benchmark::kMillisecond);

void BM_OverviewOneRowChanged(benchmark::State& state) {
    TRig rig;
    int n = 0;
    for (auto _ : state) {
        rig.Step(++n);
        rig.page.RefreshRow(n % kStations, *rig.pointers[static_cast<size_t>(n % kStations)]);
        QApplication::processEvents();
    }
}
BENCHMARK(BM_OverviewOneRowChanged)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    return RunWidgetBenchmarks(argc, argv);
}
