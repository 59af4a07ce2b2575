#include "store/TableWalk.h"

#include "engine/VeltDatabase.h"
#include "engine/VeltTable.h"

TTableWalk::~TTableWalk() {
    if (FAccessing) FTable->Database()->EndAccessAfterFailure();
}

void TTableWalk::Before(int32_t position) {
    if (FAccessing || FTable == nullptr) return;
    int32_t recordId = 0;
    int32_t slot = 0;
    if (FTable->IdMap().GetAt(position, recordId, slot)) BeginUnlessCached(slot);
}

void TTableWalk::BeforeId(int32_t recordId) {
    if (FAccessing || FTable == nullptr) return;
    int32_t slot = 0;
    if (FTable->IdMap().TryGetValue(recordId, slot)) BeginUnlessCached(slot);
}

void TTableWalk::BeginUnlessCached(int32_t slot) {
    if (FTable->Cache().HoldsSlot(slot)) return;
    FTable->BeginAccess();
    FAccessing = true;
}

void TTableWalk::Finish() {
    if (!FAccessing) return;
    FAccessing = false;
    FTable->EndAccess();
}
