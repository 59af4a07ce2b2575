#pragma once
// One file access shared by the reads of a walk over a table, instead of the
// file being opened and closed once per read batch. The access begins at the
// first record the cache cannot serve, so a walk the cache answers alone
// never touches the file (and cannot fail on it).
//
//   TTableWalk walk(table);
//   for (each position) { walk.Before(position); read the record; }
//   walk.Finish();
//
// Leaving the scope without Finish (a read raised) ends the access quietly
// and lets the error pass on, so no access is left open behind a failure.

#include <cstdint>

class TVeltTable;

class TTableWalk {
  public:
    // A nil table (a closed manager's) is walked without any access.
    explicit TTableWalk(TVeltTable* table) : FTable(table) {}
    ~TTableWalk();
    TTableWalk(const TTableWalk&) = delete;
    TTableWalk& operator=(const TTableWalk&) = delete;

    // Call before reading the record at Position, or the record of RecordId.
    void Before(int32_t position);
    void BeforeId(int32_t recordId);
    // Ends the access of a walk that went through; may raise like EndAccess.
    void Finish();

    bool Accessing() const { return FAccessing; }

  private:
    void BeginUnlessCached(int32_t slot);

    TVeltTable* FTable;
    bool FAccessing = false;
};
