#pragma once
// The in-memory forms of a table's id map (TRunMap: record id -> slot) and
// of an index's order (TRunList: record ids by position), both held as runs
// instead of one entry per record.
//
// A history table appends id last + 1 into the next slot, in time order, so
// its id map is one run of (consecutive id, consecutive slot) and its index
// order one run of consecutive ids, broken only where the clock was set
// back, a record was deleted or a file was put together out of order. Any
// pattern stays correct: in the worst case (ids with no neighbours) a run
// holds one record, and the costs are those of a plain sorted array.
//
//   TRunList runs:  First  Start          values by position
//                   [ 1,   0 ]            1 2 3 4
//                   [ 9,   4 ]            9 10
//                   [ 5,   6 ]            5
//   Run r holds First(r) .. First(r) + Length(r) - 1 at positions Start(r)
//   on; Length(r) = Start(r + 1) - Start(r), or Count - Start(r) for the
//   last. Starts ascend strictly, the first is 0, no run is empty, and two
//   neighbouring runs never continue each other (they would be one).
//
//   TRunMap runs:   FirstId  FirstSlot  Start
//   The same for ids ascending: run r maps ids FirstId(r) + i to slots
//   FirstSlot(r) + i at ranks Start(r) + i. Ids ascend across runs, so an id
//   is found by one binary search over the runs' first ids.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

// The run bookkeeping both forms share: runs in a vector, each starting at
// a position (Start) and as long as the distance to the next run's start
// (or to Count for the last); starts ascend strictly from 0 and no run is
// empty. TRun is the form's run: a Start, its own fields, Advanced(n) (the
// run from its n-th element on, Start included) and Continues(next, length)
// (true when Next, following a run of Length, holds the elements that would
// come next, so the two are one run).
template <class TRun>
class TRunVector {
  public:
    int32_t Count() const { return FCount; }
    size_t RunCount() const { return FRuns.size(); }
    // Gives back the room of runs that are gone (after a load that built
    // the runs by appends).
    void ShrinkToFit() { FRuns.shrink_to_fit(); }

  protected:
    int64_t Length(size_t run) const {
        const int32_t end = run + 1 < FRuns.size() ? FRuns[run + 1].Start : FCount;
        return static_cast<int64_t>(end) - FRuns[run].Start;
    }
    // The run holding Position (0 <= Position < Count).
    size_t RunAt(int32_t position) const {
        const auto it = std::upper_bound(FRuns.begin(), FRuns.end(), position,
                                         [](int32_t p, const TRun& run) { return p < run.Start; });
        return static_cast<size_t>(it - FRuns.begin()) - 1;
    }
    void ClearRuns() {
        FRuns.clear();
        FCount = 0;
    }
    // Length elements from Run's on at the end: the last run grows when Run
    // continues it. Run's Start is set here.
    void AppendRun(TRun run, int32_t length) {
        if (length <= 0) return;
        if (FRuns.empty() || !FRuns.back().Continues(run, Length(FRuns.size() - 1))) {
            run.Start = FCount;
            FRuns.push_back(run);
        }
        FCount += length;
    }
    // Makes Position (below Count) the start of a run; returns that run.
    size_t SplitAt(int32_t position) {
        const size_t run = RunAt(position);
        const TRun& held = FRuns[run];
        if (held.Start == position) return run;
        FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(run) + 1,
                     held.Advanced(position - held.Start));
        return run + 1;
    }
    // Run, one element long, goes in as run number At; the runs from At on
    // move one position up. Joins it with whichever neighbour it continues.
    void InsertRun(size_t at, const TRun& run) {
        FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(at), run);
        ShiftStarts(at + 1, 1);
        ++FCount;
        JoinIfContinued(at);
        if (at > 0) JoinIfContinued(at - 1);
    }
    // Erases the element at Position (below Count); neighbours that now
    // continue each other become one run.
    void EraseAt(int32_t position) {
        const size_t run = RunAt(position);
        const int64_t length = Length(run);
        const int32_t offset = position - FRuns[run].Start;
        ShiftStarts(run + 1, -1);
        --FCount;
        if (length == 1) {
            FRuns.erase(FRuns.begin() + static_cast<std::ptrdiff_t>(run));
            if (run > 0) JoinIfContinued(run - 1);
        } else if (offset == 0) {
            FRuns[run] = FRuns[run].Advanced(1);
            --FRuns[run].Start;  // the next element takes the erased one's position
            if (run > 0) JoinIfContinued(run - 1);
        } else if (offset == length - 1) {
            JoinIfContinued(run);
        } else {
            TRun tail = FRuns[run].Advanced(offset + 1);
            tail.Start = position;
            FRuns.insert(FRuns.begin() + static_cast<std::ptrdiff_t>(run) + 1, tail);
        }
    }

    std::vector<TRun> FRuns;
    int32_t FCount = 0;

  private:
    // Joins runs Run and Run + 1 when the second continues the first.
    void JoinIfContinued(size_t run) {
        if (run + 1 >= FRuns.size() || !FRuns[run].Continues(FRuns[run + 1], Length(run))) return;
        FRuns.erase(FRuns.begin() + static_cast<std::ptrdiff_t>(run) + 1);
    }
    void ShiftStarts(size_t fromRun, int32_t delta) {
        for (size_t run = fromRun; run < FRuns.size(); ++run) FRuns[run].Start += delta;
    }
};

namespace run_detail {

// A run of TRunList: values First, First + 1, ... from position Start.
struct TValueRun {
    int32_t First;
    int32_t Start;
    TValueRun Advanced(int32_t n) const { return TValueRun{First + n, Start + n}; }
    bool Continues(const TValueRun& next, int64_t length) const {
        return static_cast<int64_t>(First) + length == next.First;
    }
};

// A run of TRunMap: ids FirstId + i at slots FirstSlot + i, rank Start + i.
struct TIdRun {
    int32_t FirstId;
    int32_t FirstSlot;
    int32_t Start;
    TIdRun Advanced(int32_t n) const { return TIdRun{FirstId + n, FirstSlot + n, Start + n}; }
    bool Continues(const TIdRun& next, int64_t length) const {
        return FirstId + length == next.FirstId && FirstSlot + length == next.FirstSlot;
    }
};

}  // namespace run_detail

// A sequence of int32 values with positional access. Appending a value that
// continues the last run is O(1); a lookup by position is a binary search
// over the runs; inserting or erasing elsewhere, and finding a value, cost
// O(runs).
class TRunList : private TRunVector<run_detail::TValueRun> {
    using TRun = run_detail::TValueRun;
    using TBase = TRunVector<TRun>;

  public:
    using value_type = int32_t;
    using size_type = size_t;

    class const_iterator {
      public:
        using iterator_category = std::bidirectional_iterator_tag;
        using value_type = int32_t;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = int32_t;

        const_iterator() = default;
        int32_t operator*() const {
            return FList->FRuns[FRun].First + (FPosition - FList->FRuns[FRun].Start);
        }
        const_iterator& operator++() {
            ++FPosition;
            if (FRun + 1 < FList->FRuns.size() && FList->FRuns[FRun + 1].Start == FPosition) ++FRun;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        const_iterator& operator--() {
            --FPosition;
            if (FList->FRuns[FRun].Start > FPosition) --FRun;
            return *this;
        }
        const_iterator operator--(int) {
            const_iterator before = *this;
            --*this;
            return before;
        }
        bool operator==(const const_iterator& other) const { return FPosition == other.FPosition; }

      private:
        friend class TRunList;
        const_iterator(const TRunList* list, size_t run, int32_t position)
            : FList(list), FRun(run), FPosition(position) {}
        const TRunList* FList = nullptr;
        size_t FRun = 0;
        int32_t FPosition = 0;
    };
    using iterator = const_iterator;

    size_t size() const { return static_cast<size_t>(FCount); }
    bool empty() const { return FCount == 0; }
    using TBase::RunCount;
    using TBase::ShrinkToFit;

    // Position must be below size().
    int32_t operator[](size_t position) const {
        const auto at = static_cast<int32_t>(position);
        const TRun& run = FRuns[RunAt(at)];
        return run.First + (at - run.Start);
    }
    // The first position holding Value, or -1.
    int32_t Find(int32_t value) const;

    void push_back(int32_t value) { AppendRun(value, 1); }
    // Length values from First on, appended (the loader's form of Length
    // calls to push_back).
    void AppendRun(int32_t first, int32_t length) { TBase::AppendRun(TRun{first, 0}, length); }
    // Position may be size() (an append).
    void Insert(int32_t position, int32_t value);
    // Position must be below size().
    void Erase(int32_t position) { EraseAt(position); }
    void clear() { ClearRuns(); }

    const_iterator begin() const { return const_iterator(this, 0, 0); }
    const_iterator end() const {
        return const_iterator(this, FRuns.empty() ? 0 : FRuns.size() - 1, FCount);
    }
    // A plain copy, for callers that want one.
    operator std::vector<int32_t>() const { return std::vector<int32_t>(begin(), end()); }
};

bool operator==(const TRunList& list, const std::vector<int32_t>& values);

// Record id -> slot, ids strictly ascending, with access by rank (the
// position among the ascending ids) as well as by id; the operations of
// TMap<int32_t> (RecordCache.h) under the same names.
class TRunMap : private TRunVector<run_detail::TIdRun> {
    using TRun = run_detail::TIdRun;
    using TBase = TRunVector<TRun>;

  public:
    using TBase::Count;
    using TBase::RunCount;
    using TBase::ShrinkToFit;

    // The rank of Key, or -1.
    int32_t IndexOf(int32_t key) const {
        const size_t run = RunOf(key);
        return run == kNoRun ? -1 : FRuns[run].Start + (key - FRuns[run].FirstId);
    }
    bool TryGetValue(int32_t key, int32_t& value) const {
        const size_t run = RunOf(key);
        if (run == kNoRun) return false;
        value = FRuns[run].FirstSlot + (key - FRuns[run].FirstId);
        return true;
    }
    bool ContainsKey(int32_t key) const { return RunOf(key) != kNoRun; }
    int32_t LastKey() const {
        return FRuns.empty()
                   ? 0
                   : static_cast<int32_t>(FRuns.back().FirstId + Length(FRuns.size() - 1) - 1);
    }
    bool GetAt(int32_t index, int32_t& key, int32_t& value) const {
        if (index < 0 || index >= FCount) return false;
        const TRun& run = FRuns[RunAt(index)];
        key = run.FirstId + (index - run.Start);
        value = run.FirstSlot + (index - run.Start);
        return true;
    }

    // Looks ids up through the run that held the last one found, searching
    // the runs only when an id lies outside it: ids asked for in ascending
    // order (a chain at open) cost a search per run, not per id. Valid
    // while the map is not changed.
    class TCursor {
      public:
        explicit TCursor(const TRunMap& map) : FMap(map) {}
        bool TryGetValue(int32_t key, int32_t& value) {
            const int64_t offset = static_cast<int64_t>(key) - FFirstId;
            if (offset < 0 || offset >= FLength) {
                const size_t run = FMap.RunOf(key);
                if (run == kNoRun) return false;
                FFirstId = FMap.FRuns[run].FirstId;
                FFirstSlot = FMap.FRuns[run].FirstSlot;
                FLength = FMap.Length(run);
                value = FFirstSlot + (key - FFirstId);
                return true;
            }
            value = FFirstSlot + static_cast<int32_t>(offset);
            return true;
        }

      private:
        const TRunMap& FMap;
        int32_t FFirstId = 0;
        int32_t FFirstSlot = 0;
        int64_t FLength = 0;  // 0: no run held yet
    };

    // False, and no change, when the key is present. A key above every
    // other whose slot follows the last one's extends the last run.
    bool Add(int32_t key, int32_t value);
    bool Remove(int32_t key);
    // Length ids from FirstId to slots from FirstSlot, all above every key
    // held (the loader's form of Length calls to Add).
    void AppendRun(int32_t firstId, int32_t firstSlot, int32_t length) {
        TBase::AppendRun(TRun{firstId, firstSlot, 0}, length);
    }
    void Clear() { ClearRuns(); }
    // Calls Body(firstId, firstSlot, length) for every run, ids ascending.
    template <class Body>
    void ForEachRun(Body&& body) const {
        for (size_t run = 0; run < FRuns.size(); ++run) {
            body(FRuns[run].FirstId, FRuns[run].FirstSlot, static_cast<int32_t>(Length(run)));
        }
    }

  private:
    static constexpr size_t kNoRun = SIZE_MAX;
    // The last run whose first id is not above Key: where Key is or would go.
    size_t RunBelow(int32_t key) const {
        const auto it =
            std::upper_bound(FRuns.begin(), FRuns.end(), key,
                             [](int32_t k, const TRun& run) { return k < run.FirstId; });
        return it == FRuns.begin() ? kNoRun : static_cast<size_t>(it - FRuns.begin()) - 1;
    }
    size_t RunOf(int32_t key) const {
        const size_t run = RunBelow(key);
        if (run == kNoRun) return kNoRun;
        return static_cast<int64_t>(key) - FRuns[run].FirstId < Length(run) ? run : kNoRun;
    }
};
