#include "engine/RunMap.h"

// ------------------------------------------------------------ TRunList

int32_t TRunList::Find(int32_t value) const {
    for (size_t run = 0; run < FRuns.size(); ++run) {
        const int64_t offset = static_cast<int64_t>(value) - FRuns[run].First;
        if (offset >= 0 && offset < Length(run)) {
            return FRuns[run].Start + static_cast<int32_t>(offset);
        }
    }
    return -1;
}

void TRunList::Insert(int32_t position, int32_t value) {
    if (position >= FCount) {
        push_back(value);
        return;
    }
    // The value becomes a run of its own at Position, then joins whichever
    // neighbour it continues.
    InsertRun(SplitAt(position), TRun{value, position});
}

bool operator==(const TRunList& list, const std::vector<int32_t>& values) {
    return list.size() == values.size() && std::equal(values.begin(), values.end(), list.begin());
}

// ------------------------------------------------------------ TRunMap

bool TRunMap::Add(int32_t key, int32_t value) {
    if (FRuns.empty() || key > LastKey()) {
        AppendRun(key, value, 1);
        return true;
    }
    // Below the last key: an absent key falls between two runs (a run
    // holds consecutive ids), so it never splits one.
    const size_t below = RunBelow(key);
    size_t at = 0;
    int32_t start = 0;
    if (below != kNoRun) {
        const int64_t length = Length(below);
        if (static_cast<int64_t>(key) - FRuns[below].FirstId < length) return false;
        at = below + 1;
        start = FRuns[below].Start + static_cast<int32_t>(length);
    }
    InsertRun(at, TRun{key, value, start});
    return true;
}

bool TRunMap::Remove(int32_t key) {
    // The neighbours of the removed id never join: the id between them is
    // gone now.
    const int32_t rank = IndexOf(key);
    if (rank < 0) return false;
    EraseAt(rank);
    return true;
}
