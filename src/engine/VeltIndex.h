#pragma once
// One index of a table: the records ordered by up to eight key fields, ties
// broken by record id. The order persists as a singly linked chain through
// the stored records:
//
//   definition: index entry k .Head ---> slot a ---> slot b ---> ... -1
//   stored record: next link for index k at byte 6 + 4k
//
// In memory the same order is the list Ids, held as runs of consecutive ids
// (engine/RunMap.h). Every link change is a single 4-byte transfer in the
// open file; a head change rewrites the definition.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/RunMap.h"
#include "engine/VeltFormat.h"

class TSlotReader;
class TVeltFileIO;
class TVeltTable;

// The stored records of a table at open, and the id map built from them:
// a chain may only run through the slot the map holds for each id (live and
// first under its id).
struct TRecordSlots {
    TSlotReader* Reader;
    int32_t SlotCount;
    const TRunMap* Map;
};

// Orders two values of a key field: -1, 0 or 1 for a below, equal to or
// above b. Strings are bounded by Limit bytes (the rest of the record).
int32_t CompareKeyField(uint8_t fieldType, const uint8_t* a, const uint8_t* b, int32_t limit);

class TVeltIndex {
  public:
    // Table and FileIO borrow (the table owns this index). Walks the chain
    // over Slots; raises "Table is nil" or EVeltFileCorrupt.
    TVeltIndex(TVeltTable* table, TVeltFileIO* fileIO, int32_t indexNumber,
               const TRecordSlots& slots);
    // The same with the order known already: the table found the chain
    // running through its live records in slot order while mapping them.
    TVeltIndex(TVeltTable* table, TVeltFileIO* fileIO, int32_t indexNumber, TRunList ids);
    TVeltIndex(const TVeltIndex&) = delete;
    TVeltIndex& operator=(const TVeltIndex&) = delete;

    const TIndexEntry& Definition() const;
    TIndexEntry& Definition();
    int32_t SlotOf(int32_t recordId) const;
    void Load(const TRecordSlots& slots);
    // Key (plain record data) and RecordId against the record at Ids[Position].
    int32_t Compare(int32_t recordId, const uint8_t* key, int32_t position);
    int32_t Search(int32_t recordId, const uint8_t* key, int32_t& result);
    int32_t FindInsertPosition(int32_t recordId, const uint8_t* key, bool& found);
    // Links a record that is written and in the table's id map already.
    void Insert(int32_t recordId, int32_t filePosition, const uint8_t* key);
    // An append in two halves, so that the new record is written once with
    // its own link already in place. Plan: where RecordId goes among Ids
    // and the slot its stored record links to (-1 at the end); reads other
    // records only. Link, once the record is written and counted: writes
    // the predecessor's link, or nothing when Position is 0 (the caller has
    // put the head into the definition it wrote with the count).
    struct TInsertPlan {
        int32_t Position = 0;
        int32_t Next = kNoSlot;
    };
    TInsertPlan PlanInsert(int32_t recordId, const uint8_t* key);
    void LinkPlanned(int32_t recordId, const TInsertPlan& plan);
    // A record whose key keeps it between the same neighbours keeps its
    // place in the chain, and nothing is written; otherwise it is unlinked
    // and linked again.
    void Update(int32_t recordId, int32_t filePosition, const uint8_t* key);
    // Unlinks a record; the id may be gone from the id map already.
    void Remove(int32_t recordId, int32_t filePosition);
    void Clear();

    const std::string& IndexName() const { return FIndexName; }
    int32_t IndexNumber() const { return FIndexNumber; }
    const TRunList& Ids() const { return FIds; }

  private:
    int32_t ReadLink(int64_t position);
    void WriteLink(int64_t position, int32_t link);
    void SetHead(int32_t slot);

    TVeltTable* FTable;
    TVeltFileIO* FFileIO;
    int32_t FIndexNumber;
    std::string FIndexName;
    TRunList FIds;
    std::vector<uint8_t> FWork;  // the compared record's plain data
};
