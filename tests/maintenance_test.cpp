// Maintenance windows against the current second.
#include "services/Maintenance.h"

#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

namespace {

time_t nowSeconds() {
  return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
}

const unsigned long kId = 5, kOther = 6, kWide = kId + (1UL << 32);

class MaintenanceTest : public ::testing::Test {
 protected:
  // A window of id from now + from to now + to seconds.
  void add(int planned, unsigned long id, long from, long to, int status = 1, int option = 0) {
    m.add(planned, id, status, {now + from, 123}, {now + to, 456}, option);
  }
  Maintenance m;
  time_t now = nowSeconds();
};

// Whole seconds count (start .9, end .0001 here), both bounds inclusive: a
// window is current, and survives clean, until its last second is over. A
// check is repeated until the clock holds still over it.
TEST(MaintenanceWindow, ContainsTheCurrentSecondWithInclusiveBounds) {
  const std::tuple<long, long, bool> cases[] = {
      {0, 100, true}, {-100, 0, true}, {0, 0, true}, {-100, -1, false}, {100, -100, false}};
  for (const auto& [start, end, expected] : cases) {
    bool current = false, kept = false;
    for (int attempt = 0; attempt < 10; ++attempt) {
      Maintenance m;
      const time_t now = nowSeconds();
      m.add(1, kId, 1, {now + start, 900000}, {now + end, 100}, 0);
      current = m.isMaintenance(kId);
      m.clean(kId);
      kept = m.isPlannedIDPresent(1);
      if (nowSeconds() == now) break;
    }
    EXPECT_EQ(current, expected) << start << ".." << end;
    EXPECT_EQ(kept, expected) << start << ".." << end;
  }
}

// Both forms of clean drop the id's whole list with its planned ids, so a
// window that was still current can be registered again.
TEST_F(MaintenanceTest, CleanRemovesTheWholeListAndItsPlannedIds) {
  add(1, kId, -100, 100);
  m.clean(kId);  // nothing ended yet
  EXPECT_TRUE(m.isMaintenance(kId));
  add(2, kId, -100, -50);
  add(4, kWide, -100, -50);
  m.clean(kId);  // the ended window takes the current one with it
  EXPECT_FALSE(m.isMaintenance(kId) || m.isPlannedIDPresent(1) || m.isPlannedIDPresent(2));
  EXPECT_TRUE(m.isPlannedIDPresent(4));
  add(1, kId, -100, 100);
  add(2, kId, 100, 200);
  add(3, kOther, -100, 100);
  m.clean(kId, 3);  // another service's planned id: nothing happens
  EXPECT_TRUE(m.isMaintenance(kId));
  m.clean(kId, 2);
  EXPECT_FALSE(m.isMaintenance(kId) || m.isPlannedIDPresent(1) || m.isPlannedIDPresent(2));
  EXPECT_TRUE(m.isMaintenance(kOther));
}

TEST_F(MaintenanceTest, PlannedIdsAreRegisteredOnceAndTheCurrentWindowIsReported) {
  EXPECT_EQ(m.getMaintenanceInformation(kId).status, 0);
  add(3, kId, 100, 200);
  add(3, kId, -100, 100);
  add(3, kOther, -100, 100);
  add(5, kWide, -100, 100, 7);  // ids keep their full width
  EXPECT_FALSE(m.isMaintenance(kId) || m.isMaintenance(kOther));
  add(1, kId, -200, -100, 9);
  add(2, kId, -100, 100, 4, 12);
  const var_maintenance info = m.getMaintenanceInformation(kId);
  EXPECT_TRUE(info.status == 4 && info.plannedId == 2 && info.option == 12);
  EXPECT_TRUE(info.start.tv_usec == 123 && info.end.tv_sec == now + 100);
}

}  // namespace
