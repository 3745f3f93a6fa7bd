// Maintenance windows tested against the current second. Checks that depend
// on the second are repeated if the clock ticked while they ran.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <functional>

#include "services/Maintenance.h"

namespace {

time_t nowSeconds() {
  timeval now;
  gettimeofday(&now, nullptr);
  return now.tv_sec;
}

timeval sec(time_t seconds, long micros = 0) { return timeval{seconds, micros}; }

// Runs check(now) on a fresh store until one run starts and ends within the
// same second; returns that run's result.
bool withinOneSecond(const std::function<bool(Maintenance&, time_t)>& check) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    Maintenance store;
    time_t now = nowSeconds();
    bool result = check(store, now);
    if (nowSeconds() == now) return result;
  }
  ADD_FAILURE() << "the clock never held still for a second";
  return false;
}

const unsigned long kId = 5;

TEST(MaintenanceWindow, BoundsAreInclusiveSeconds) {
  EXPECT_TRUE(withinOneSecond([](Maintenance& m, time_t now) {
    m.add(1, kId, 1, sec(now), sec(now + 100), 0);
    return m.isMaintenance(kId);
  }));
  EXPECT_TRUE(withinOneSecond([](Maintenance& m, time_t now) {
    m.add(1, kId, 1, sec(now - 100), sec(now), 0);
    return m.isMaintenance(kId);
  }));
  EXPECT_FALSE(withinOneSecond([](Maintenance& m, time_t now) {
    m.add(1, kId, 1, sec(now - 100), sec(now - 1), 0);
    return m.isMaintenance(kId);
  }));
}

TEST(MaintenanceWindow, MicrosecondsNeverCount) {
  EXPECT_TRUE(withinOneSecond([](Maintenance& m, time_t now) {
    m.add(1, kId, 1, sec(now, 900000), sec(now, 100), 0);
    return m.isMaintenance(kId);
  }));
}

TEST(MaintenanceWindow, EndedWindowIsCleanedAndItsPlannedIdFreed) {
  Maintenance m;
  time_t now = nowSeconds();
  m.add(7, kId, 1, sec(now - 100), sec(now - 10), 0);
  m.clean(kId);
  EXPECT_FALSE(m.isPlannedIDPresent(7));
  m.add(7, kId, 1, sec(now - 100), sec(now + 100), 0);
  EXPECT_TRUE(m.isMaintenance(kId));
}

TEST(MaintenanceWindow, ReversedWindowNeverHoldsAndEnds) {
  Maintenance m;
  time_t now = nowSeconds();
  m.add(7, kId, 1, sec(now + 100), sec(now - 100), 0);
  EXPECT_FALSE(m.isMaintenance(kId));
  m.clean(kId);
  EXPECT_FALSE(m.isPlannedIDPresent(7));
}

TEST(MaintenanceWindow, CurrentWindowsAreNotCleaned) {
  Maintenance m;
  time_t now = nowSeconds();
  m.add(7, kId, 1, sec(now - 100), sec(now + 100), 0);
  m.clean(kId);
  EXPECT_TRUE(m.isMaintenance(kId));
  EXPECT_TRUE(m.isPlannedIDPresent(7));
}

TEST(MaintenanceWindow, CleaningBesideACurrentWindowFreesBothPlannedIds) {
  Maintenance m;
  time_t now = nowSeconds();
  m.add(1, kId, 1, sec(now - 100), sec(now - 50), 0);
  m.add(2, kId, 1, sec(now - 100), sec(now + 100), 0);
  m.clean(kId);
  EXPECT_FALSE(m.isMaintenance(kId));
  EXPECT_FALSE(m.isPlannedIDPresent(1));
  EXPECT_FALSE(m.isPlannedIDPresent(2));
  // The current window can be registered again rather than being lost.
  m.add(2, kId, 1, sec(now - 100), sec(now + 100), 0);
  EXPECT_TRUE(m.isMaintenance(kId));
}

TEST(MaintenanceWindow, PlannedIdIsRegisteredOnce) {
  Maintenance m;
  time_t now = nowSeconds();
  m.add(3, kId, 1, sec(now + 100), sec(now + 200), 0);
  m.add(3, kId, 1, sec(now - 100), sec(now + 100), 0);
  m.add(3, 6, 1, sec(now - 100), sec(now + 100), 0);
  EXPECT_FALSE(m.isMaintenance(kId));
  EXPECT_FALSE(m.isMaintenance(6));
  EXPECT_TRUE(m.isPlannedIDPresent(3));
}

TEST(MaintenanceWindow, CleanByPlannedIdRemovesTheWholeList) {
  Maintenance m;
  time_t now = nowSeconds();
  m.add(1, kId, 1, sec(now - 100), sec(now + 100), 0);
  m.add(2, kId, 1, sec(now + 100), sec(now + 200), 0);
  m.add(3, 6, 1, sec(now - 100), sec(now + 100), 0);

  m.clean(kId, 3);  // planned id of another service: nothing happens
  EXPECT_TRUE(m.isMaintenance(kId));
  EXPECT_TRUE(m.isPlannedIDPresent(3));

  m.clean(kId, 2);
  EXPECT_FALSE(m.isMaintenance(kId));
  EXPECT_FALSE(m.isPlannedIDPresent(1));
  EXPECT_FALSE(m.isPlannedIDPresent(2));
  EXPECT_TRUE(m.isMaintenance(6));
}

TEST(MaintenanceWindow, InformationOfTheCurrentWindow) {
  Maintenance m;
  EXPECT_EQ(m.getMaintenanceInformation(kId).status, 0);
  time_t now = nowSeconds();
  m.add(1, kId, 9, sec(now - 200, 1), sec(now - 100, 2), 11);
  EXPECT_EQ(m.getMaintenanceInformation(kId).status, 0);
  m.add(2, kId, 4, sec(now - 100, 123), sec(now + 100, 456), 12);
  var_maintenance info = m.getMaintenanceInformation(kId);
  EXPECT_EQ(info.status, 4);
  EXPECT_EQ(info.plannedId, 2);
  EXPECT_EQ(info.option, 12);
  EXPECT_EQ(info.start.tv_sec, now - 100);
  EXPECT_EQ(info.start.tv_usec, 123);
  EXPECT_EQ(info.end.tv_usec, 456);
}

TEST(MaintenanceWindow, IdsKeepTheirFullWidth) {
  Maintenance m;
  time_t now = nowSeconds();
  const unsigned long wide = kId + (1UL << 32);
  m.add(1, wide, 1, sec(now - 100), sec(now + 100), 0);
  EXPECT_TRUE(m.isMaintenance(wide));
  EXPECT_FALSE(m.isMaintenance(kId));
  m.add(2, kId, 1, sec(now - 100), sec(now - 50), 0);
  m.clean(kId);
  EXPECT_TRUE(m.isMaintenance(wide));
}

TEST(MaintenanceWindow, EmptyStoreHasNoMaintenance) {
  Maintenance m;
  EXPECT_FALSE(m.isMaintenance(kId));
  EXPECT_FALSE(m.isPlannedIDPresent(0));
  m.clean(kId);
  m.clean(kId, 0);
}

}  // namespace
