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

void TRunList::ShiftStarts(size_t fromRun, int32_t delta) {
    for (size_t run = fromRun; run < FRuns.size(); ++run) FRuns[run].Start += delta;
}

size_t TRunList::SplitAt(int32_t position) {
    const size_t run = RunAt(position);
    const TRun& held = FRuns[run];
    if (held.Start == position) return run;
    const TRun tail{held.First + (position - held.Start), position};
    FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(run) + 1, tail);
    return run + 1;
}

void TRunList::JoinIfContinued(size_t run) {
    if (run + 1 >= FRuns.size()) return;
    if (static_cast<int64_t>(FRuns[run].First) + Length(run) != FRuns[run + 1].First) return;
    FRuns.erase(FRuns.begin() + static_cast<std::ptrdiff_t>(run) + 1);
}

void TRunList::AppendRun(int32_t first, int32_t length) {
    if (length <= 0) return;
    if (FRuns.empty() ||
        static_cast<int64_t>(FRuns.back().First) + Length(FRuns.size() - 1) != first) {
        FRuns.push_back(TRun{first, FCount});
    }
    FCount += length;
}

void TRunList::Insert(int32_t position, int32_t value) {
    if (position >= FCount) {
        push_back(value);
        return;
    }
    // The value becomes a run of its own at Position, then joins whichever
    // neighbour it continues.
    const size_t run = SplitAt(position);
    FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(run), TRun{value, position});
    ShiftStarts(run + 1, 1);
    ++FCount;
    JoinIfContinued(run);
    if (run > 0) JoinIfContinued(run - 1);
}

void TRunList::Erase(int32_t position) {
    const size_t run = RunAt(position);
    const int64_t length = Length(run);
    const int32_t offset = position - FRuns[run].Start;
    ShiftStarts(run + 1, -1);
    --FCount;
    if (length == 1) {
        FRuns.erase(FRuns.begin() + static_cast<std::ptrdiff_t>(run));
        if (run > 0) JoinIfContinued(run - 1);
    } else if (offset == 0) {
        ++FRuns[run].First;
        if (run > 0) JoinIfContinued(run - 1);
    } else if (offset == length - 1) {
        JoinIfContinued(run);
    } else {
        const TRun tail{FRuns[run].First + offset + 1, position};
        FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(run) + 1, tail);
    }
}

bool operator==(const TRunList& list, const std::vector<int32_t>& values) {
    return list.size() == values.size() && std::equal(values.begin(), values.end(), list.begin());
}

// ------------------------------------------------------------ TRunMap

void TRunMap::ShiftStarts(size_t fromRun, int32_t delta) {
    for (size_t run = fromRun; run < FRuns.size(); ++run) FRuns[run].Start += delta;
}

bool TRunMap::Add(int32_t key, int32_t value) {
    if (FRuns.empty() || key > LastKey()) {
        if (!FRuns.empty()) {
            const TRun& last = FRuns.back();
            const int64_t length = Length(FRuns.size() - 1);
            if (last.FirstId + length == key && last.FirstSlot + length == value) {
                ++FCount;
                return true;
            }
        }
        FRuns.push_back(TRun{key, value, FCount});
        ++FCount;
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
    FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(at), TRun{key, value, start});
    ShiftStarts(at + 1, 1);
    ++FCount;
    if (at + 1 < FRuns.size() && Continues(at)) {
        FRuns.erase(FRuns.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    }
    if (at > 0 && Continues(at - 1)) FRuns.erase(FRuns.begin() + static_cast<std::ptrdiff_t>(at));
    return true;
}

void TRunMap::AppendRun(int32_t firstId, int32_t firstSlot, int32_t length) {
    if (length <= 0) return;
    if (!FRuns.empty()) {
        const TRun& last = FRuns.back();
        const int64_t held = Length(FRuns.size() - 1);
        if (last.FirstId + held == firstId && last.FirstSlot + held == firstSlot) {
            FCount += length;
            return;
        }
    }
    FRuns.push_back(TRun{firstId, firstSlot, FCount});
    FCount += length;
}

bool TRunMap::Remove(int32_t key) {
    const size_t run = RunOf(key);
    if (run == kNoRun) return false;
    const int64_t length = Length(run);
    const int32_t offset = key - FRuns[run].FirstId;
    ShiftStarts(run + 1, -1);
    --FCount;
    // The neighbours of the removed id stay apart: the id between them is
    // gone now.
    if (length == 1) {
        FRuns.erase(FRuns.begin() + static_cast<std::ptrdiff_t>(run));
    } else if (offset == 0) {
        ++FRuns[run].FirstId;
        ++FRuns[run].FirstSlot;
    } else if (offset != length - 1) {
        const TRun& held = FRuns[run];
        const TRun tail{key + 1, held.FirstSlot + offset + 1, held.Start + offset};
        FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(run) + 1, tail);
    }
    return true;
}
