#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "model/StationTable.h"

namespace telegate {
namespace {

// One table is about 50 MB; the tests share one per fixture instance.
class StationTableTest : public ::testing::Test {
  protected:
    std::unique_ptr<TStationTable> t_ = std::make_unique<TStationTable>();

    void Fill(int stations) {
        for (int n = 1; n <= stations; ++n) {
            T_KP& kp = t_->KP_arr[n];
            kp.NameKP = "КП" + std::to_string(n);
            kp.ASDU_Adr = n;
            kp.Kol_TS = n;
            kp.Kol_TI = 2 * n;
            for (int k = 1; k <= kp.Kol_TS; ++k) kp.TS_arr[k].NameTS = "ts" + std::to_string(n);
            kp.TI_arr[kp.Kol_TI].Max_Eng_Diap = 100.0 * n;
        }
        t_->Kol_KP = stations;
    }
};

TEST_F(StationTableTest, StartsZeroAtFullCapacity) {
    EXPECT_EQ(t_->Kol_KP, 0);
    EXPECT_EQ(t_->KP_arr.Low(), 1);
    EXPECT_EQ(t_->KP_arr.High(), 34);
    const T_KP& last = t_->KP_arr[34];
    EXPECT_EQ(last.TS_arr.High(), 7000);
    EXPECT_EQ(last.TI_arr.High(), 7000);
    EXPECT_EQ(last.TS_arr[7000].AdrIOA_TU, 0);
    EXPECT_EQ(last.TI_arr[7000].Max_TM_Diap, 0.0);
    EXPECT_TRUE(last.NameKP.empty());
    EXPECT_FALSE(last.Connected);
    EXPECT_EQ(TStationTable::StationId(1), 1001);
}

TEST_F(StationTableTest, CheckedAccessRefusesTheEdges) {
    EXPECT_THROW(t_->KP_arr.at(0), std::out_of_range);
    EXPECT_THROW(t_->KP_arr.at(35), std::out_of_range);
    EXPECT_THROW(t_->KP_arr[1].TS_arr.at(7001), std::out_of_range);
    EXPECT_NO_THROW(t_->KP_arr[1].TI_arr.at(7000));
    EXPECT_FALSE(t_->KP_arr.Contains(-1));
}

TEST_F(StationTableTest, DeleteMovesTheLastStationIntoTheFreedSlot) {
    Fill(5);
    const T_TS* storage = &t_->KP_arr[2].TS_arr[1];
    ASSERT_TRUE(t_->DeleteStation(2));
    EXPECT_EQ(t_->Kol_KP, 4);
    const T_KP& moved = t_->KP_arr[2];
    EXPECT_EQ(moved.NameKP, "КП5");
    EXPECT_EQ(moved.ASDU_Adr, 5);
    EXPECT_EQ(moved.Kol_TS, 5);
    EXPECT_EQ(moved.TS_arr[5].NameTS, "ts5");
    EXPECT_EQ(moved.TI_arr[10].Max_Eng_Diap, 500.0);
    EXPECT_EQ(&moved.TS_arr[1], storage);    // copied in place, not reallocated
    EXPECT_EQ(t_->KP_arr[5].NameKP, "КП5");  // the old last record keeps its content
    EXPECT_EQ(t_->KP_arr[1].NameKP, "КП1");
    EXPECT_EQ(t_->KP_arr[4].NameKP, "КП4");
}

TEST_F(StationTableTest, DeleteLastAndOutOfRange) {
    Fill(3);
    EXPECT_FALSE(t_->DeleteStation(0));
    EXPECT_FALSE(t_->DeleteStation(4));
    EXPECT_FALSE(t_->DeleteStation(-7));
    EXPECT_EQ(t_->Kol_KP, 3);
    ASSERT_TRUE(t_->DeleteStation(3));
    EXPECT_EQ(t_->Kol_KP, 2);
    EXPECT_EQ(t_->KP_arr[2].NameKP, "КП2");
    ASSERT_TRUE(t_->DeleteStation(1));
    ASSERT_TRUE(t_->DeleteStation(1));
    EXPECT_EQ(t_->Kol_KP, 0);
    EXPECT_FALSE(t_->DeleteStation(1));
}

TEST_F(StationTableTest, WorkingCopyOfARecordIsIndependent) {
    Fill(2);
    T_KP copy = t_->KP_arr[2];
    EXPECT_EQ(copy.TS_arr[2].NameTS, "ts2");
    EXPECT_NE(&copy.TS_arr[1], &t_->KP_arr[2].TS_arr[1]);
    copy.TS_arr[1].NameTS = "changed";
    copy.Kol_TS = 7000;
    EXPECT_EQ(t_->KP_arr[2].TS_arr[1].NameTS, "ts2");
    EXPECT_EQ(t_->KP_arr[2].Kol_TS, 2);
    t_->KP_arr[1] = copy;  // back into the table's storage
    EXPECT_EQ(t_->KP_arr[1].TS_arr[1].NameTS, "changed");
    EXPECT_EQ(t_->KP_arr[1].Kol_TS, 7000);
    EXPECT_EQ(t_->KP_arr[2].TS_arr[1].NameTS, "ts2");
}

TEST(ItemImageTest, InitialValuesAndHelpers) {
    auto img = std::make_unique<TItemImage>();
    EXPECT_EQ(img->Indent_arr.Low(), 0);
    EXPECT_EQ(img->Value_arr.High(), 60000);
    EXPECT_EQ(img->Indent_arr[60000].Quality, 0);
    img->SetInitialQualities();
    EXPECT_EQ(img->Indent_arr[0].Quality, 0);
    EXPECT_EQ(img->Indent_arr[1].Quality, 1);
    EXPECT_EQ(img->Indent_arr[60000].Quality, 1);
    img->SetFirstOprosAll();
    EXPECT_FALSE(img->Indent_arr[0].FirstOpros);
    EXPECT_TRUE(img->Indent_arr[60000].FirstOpros);
}

TEST(ItemImageTest, PublishSnapshotAndEdges) {
    auto img = std::make_unique<TItemImage>();
    EXPECT_TRUE(img->Publish(60000, 3.5, 0xC0, 45000.25));
    EXPECT_FALSE(img->Publish(60001, 1.0, 0xC0, 1.0));
    EXPECT_FALSE(img->Publish(-1, 1.0, 0xC0, 1.0));
    img->Indent_arr[60000].FirstOpros = true;
    img->Indent_arr[60000].vtDataType = 5;
    img->Indent_arr[60000].Nomer_Tag = 17;
    const TItemSnapshot s = img->SnapshotAndClearFirstOpros(60000);
    EXPECT_EQ(s.Value, 3.5);
    EXPECT_EQ(s.Quality, 0xC0);
    EXPECT_EQ(s.Stamp_DateTime, 45000.25);
    EXPECT_TRUE(s.FirstOpros);
    EXPECT_EQ(s.vtDataType, 5);
    EXPECT_EQ(s.Nomer_Tag, 17);
    EXPECT_FALSE(img->Indent_arr[60000].FirstOpros);
    EXPECT_FALSE(std::as_const(*img).Snapshot(60000).FirstOpros);
    const TItemSnapshot out = img->Snapshot(1LL << 40);
    EXPECT_EQ(out.Value, 0.0);
    EXPECT_EQ(out.Quality, 0);
}

// A writer publishes value v with quality v and stamp v under the lock; a reader on
// another thread must never see the three disagree.
TEST(ItemImageTest, SnapshotsAreNeverTorn) {
    auto img = std::make_unique<TItemImage>();
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const TItemSnapshot s = img->Snapshot(7);
            if (s.Value != s.Quality || s.Value != s.Stamp_DateTime) torn.fetch_add(1);
            reads.fetch_add(1);
        }
    });
    for (int v = 1; v <= 20000; ++v) {
        if (v % 2) {
            img->Publish(7, v, v, v);
        } else {
            auto lock = img->Lock();  // a whole pass: several fields under one lock
            img->Value_arr[7] = v;
            img->Indent_arr[7].Quality = v;
            img->Indent_arr[7].Stamp_DateTime = v;
        }
    }
    while (reads.load() < 1000) std::this_thread::yield();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(img->Snapshot(7).Value, 20000.0);
}

}  // namespace
}  // namespace telegate
