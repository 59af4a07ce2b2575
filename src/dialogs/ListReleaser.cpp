#include "dialogs/ListReleaser.h"

#include <system_error>

bool TListReleaser::StoppingForTest() const {
    return FWorker != nullptr && FWorker->Stopping();
}

void TListReleaser::Give(std::unique_ptr<THeldBase> held) {
    if (FWorker == nullptr) {
        try {
            FWorker = std::make_unique<TWorker>([](std::vector<std::unique_ptr<THeldBase>>& batch) {
                for (std::unique_ptr<THeldBase>& each : batch) each.reset();  // in the order given
            });
        } catch (const std::system_error&) {
            return;  // no thread to be had: `held` goes right here
        }
    }
    FWorker->Post(std::move(held));
}
