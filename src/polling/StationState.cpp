#include "polling/StationState.h"

#include "serial/Comm.h"
#include "store/HisInfoDbMgr.h"

namespace {

constexpr const char* kStateTexts[] = {
    "已连接",       "正在连接...",        "断开",     "终端不存在", "端口忙",
    "打开端口出错", "向端口写入数据出错", "手动断开",
};

}  // namespace

const char* StateText(uint8_t state) {
    if (state >= std::size(kStateTexts)) return "";
    return kStateTexts[state];
}

bool IsPolledState(uint8_t state) {
    switch (state) {
        case kStateAbsent:
        case kStateOpenError:
        case kStateWriteError:
        case kStateManualDisconnect:
            return false;
        default:
            return true;
    }
}

TStationState::TStationState() = default;

TStationState::~TStationState() {
    ClosePortQuietly();
}

void TStationState::ClosePortQuietly() noexcept {
    if (Port == nullptr) return;
    if (Port.use_count() == 1) {
        try {
            Port->ClosePort();
        } catch (...) {
            // Closing never matters more than releasing: the component goes anyway.
        }
    }
    Port.reset();
}
