// The event log: appended and queried by time, newest first, the same after
// a reopen, and recovered like the other tables when a crash damaged it.

#include "store/EventDbMgr.h"

#include <gtest/gtest.h>

#include <optional>

#include "StoreTestSupport.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFormat.h"
#include "store/StorePaths.h"
#include "store/TableRecovery.h"

using storetest::FileBytes;
using storetest::TTempDir;
using storetest::WriteFileBytes;

namespace {

constexpr TDateTime kStart = 46000.25;
constexpr TDateTime kMinute = 1.0 / (24 * 60);

// Event n (1-based) at kStart + n minutes, every field distinct.
void AddNumbered(TEventDbMgr& mgr, int n) {
    mgr.AddEvent(kStart + n * kMinute, static_cast<uint8_t>(n), "站" + std::to_string(n),
                 static_cast<uint8_t>(n % kEventKindCount), static_cast<uint8_t>(n % 4), -n,
                 n % 2 ? "A相" : "");
}

std::vector<int32_t> Ids(const std::vector<TEventInfo>& list) {
    std::vector<int32_t> ids;
    for (const TEventInfo& e : list) ids.push_back(e.RecordId);
    return ids;
}

}  // namespace

TEST(EventDbMgr, QueryIsNewestFirstWithinTheRangeAndSurvivesAReopen) {
    TTempDir tmp;
    const std::string file = EventFileName(tmp.Dir());
    EXPECT_EQ(file, tmp.Dir() + "data/event.dt");
    {
        TEventDbMgr mgr(file, false);
        for (int n = 1; n <= 6; ++n) AddNumbered(mgr, n);
        // A clock set back: stored last, found by its time.
        mgr.AddEvent(kStart + 2.5 * kMinute, 9, "一个很长的位置名称超过二十个字节了", kEventTrip,
                     kActionRaised, 123456, "铁芯");
    }
    TEventDbMgr mgr(file, TEventDbMgr::TSharedRead{});
    std::vector<TEventInfo> list;
    mgr.QueryEvents(list, kStart + 2 * kMinute, kStart + 5 * kMinute);
    EXPECT_EQ(Ids(list), (std::vector<int32_t>{5, 4, 3, 7, 2}));
    const TEventInfo& late = list[3];
    EXPECT_EQ(late.TmpAddr, 9);
    EXPECT_EQ(late.StationPosName.Utf8(), "一个很长的位置名称超");  // cut to 20 GBK bytes
    EXPECT_EQ(late.Kind, kEventTrip);
    EXPECT_EQ(late.Action, kActionRaised);
    EXPECT_EQ(late.Value, 123456);
    EXPECT_EQ(late.Detail.Utf8(), "铁芯");
    EXPECT_EQ(list[0].Value, -5);
    EXPECT_EQ(list[0].StationPosName.Utf8(), "站5");
    EXPECT_EQ(list[0].Detail.Utf8(), "A相");
    EXPECT_EQ(std::string(EventKindText(list[0].Kind)), "风机启动");
    EXPECT_EQ(std::string(EventActionText(list[0].Action)), "恢复");
    list.clear();
    mgr.QueryEvents(list, kStart + 7 * kMinute, kStart + 9 * kMinute);
    EXPECT_TRUE(list.empty());
}

TEST(EventDbMgr, DamagedFileIsRecoveredWithEveryEvent) {
    TTempDir tmp;
    const std::string file = EventFileName(tmp.Dir());
    {
        TEventDbMgr mgr(file, false);
        for (int n = 1; n <= 4; ++n) AddNumbered(mgr, n);
    }
    EXPECT_EQ(&KindOfFile(file), &kEventKind);
    // The first slot's link cut: the later events are reached by no chain,
    // as a crash between an append's count and its link leaves them.
    std::vector<uint8_t> bytes = FileBytes(file);
    const int32_t definition = GetLe32(bytes.data() + kDirectoryOffset + 8);
    const int32_t growth = GetLe32(bytes.data() + definition + 41);
    PutLe32(bytes.data() + growth + 6, kNoSlot);
    WriteFileBytes(file, bytes);
    EXPECT_THROW(TEventDbMgr(file, false), EVeltFileCorrupt);

    std::optional<TTableRecovery> recovery;
    const auto mgr = OpenRecovering<TEventDbMgr>(file, kEventKind, kStart, false, recovery);
    ASSERT_TRUE(recovery.has_value());
    EXPECT_EQ(recovery->Salvage.Count(), 4u);
    std::vector<TEventInfo> list;
    mgr->QueryEvents(list, kStart, kStart + 1);
    EXPECT_EQ(Ids(list), (std::vector<int32_t>{4, 3, 2, 1}));
    EXPECT_EQ(list[1].StationPosName.Utf8(), "站3");
    EXPECT_EQ(mgr->AddEvent(kStart, 1, "", kEventCommLost, kActionRaised, 3, ""), 5);
}
