// Maintenance windows tested against the current second. A check that
// depends on the second is repeated if the clock ticked while it ran.
#include <gtest/gtest.h>
#include <sys/time.h>

#include "services/Maintenance.h"

namespace {

time_t nowSeconds() {
  timeval now;
  gettimeofday(&now, nullptr);
  return now.tv_sec;
}

timeval sec(time_t seconds, long micros = 0) { return timeval{seconds, micros}; }

const unsigned long kId = 5;

TEST(MaintenanceWindow, ContainsTheCurrentSecondWithInclusiveBounds) {
  struct Case {
    long start, startMicros, end, endMicros;
    bool current;
  };
  const Case cases[] = {
      {0, 0, 100, 0, true},        // starts this second
      {-100, 0, 0, 0, true},       // ends this second
      {0, 900000, 0, 100, true},   // same second, microseconds ignored
      {-100, 0, -1, 0, false},     // ended a second ago
      {100, 0, -100, 0, false},    // end before start
  };
  for (const Case& c : cases) {
    for (int attempt = 0;; ++attempt) {
      ASSERT_LT(attempt, 10) << "the clock never held still";
      Maintenance m;
      time_t now = nowSeconds();
      m.add(1, kId, 1, sec(now + c.start, c.startMicros), sec(now + c.end, c.endMicros), 0);
      bool current = m.isMaintenance(kId);
      if (nowSeconds() != now) continue;
      EXPECT_EQ(current, c.current) << c.start << ".." << c.end;
      break;
    }
  }
}

TEST(MaintenanceWindow, CleanRemovesTheListOnceAWindowEnded) {
  Maintenance m;
  time_t now = nowSeconds();
  m.add(1, kId, 1, sec(now - 100), sec(now + 100), 0);
  m.clean(kId);  // nothing ended yet
  EXPECT_TRUE(m.isMaintenance(kId));

  m.add(2, kId, 1, sec(now - 100), sec(now - 50), 0);
  m.clean(kId);  // the ended window takes the current one with it...
  EXPECT_FALSE(m.isMaintenance(kId));
  EXPECT_FALSE(m.isPlannedIDPresent(1));
  EXPECT_FALSE(m.isPlannedIDPresent(2));
  m.add(1, kId, 1, sec(now - 100), sec(now + 100), 0);  // ...which may come back
  EXPECT_TRUE(m.isMaintenance(kId));
}

TEST(MaintenanceWindow, CleanByPlannedIdRemovesTheWholeList) {
  Maintenance m;
  time_t now = nowSeconds();
  m.add(1, kId, 1, sec(now - 100), sec(now + 100), 0);
  m.add(2, kId, 1, sec(now + 100), sec(now + 200), 0);
  m.add(3, 6, 1, sec(now - 100), sec(now + 100), 0);
  m.clean(kId, 3);  // another service's planned id: nothing happens
  EXPECT_TRUE(m.isMaintenance(kId));
  m.clean(kId, 2);
  EXPECT_FALSE(m.isMaintenance(kId));
  EXPECT_FALSE(m.isPlannedIDPresent(1));
  EXPECT_FALSE(m.isPlannedIDPresent(2));
  EXPECT_TRUE(m.isMaintenance(6));
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

TEST(MaintenanceWindow, InformationOfTheCurrentWindow) {
  Maintenance m;
  EXPECT_EQ(m.getMaintenanceInformation(kId).status, 0);
  time_t now = nowSeconds();
  m.add(1, kId, 9, sec(now - 200), sec(now - 100), 11);
  EXPECT_EQ(m.getMaintenanceInformation(kId).status, 0);
  m.add(2, kId, 4, sec(now - 100, 123), sec(now + 100, 456), 12);
  var_maintenance info = m.getMaintenanceInformation(kId);
  EXPECT_EQ(info.status, 4);
  EXPECT_EQ(info.plannedId, 2);
  EXPECT_EQ(info.option, 12);
  EXPECT_EQ(info.start.tv_usec, 123);
  EXPECT_EQ(info.end.tv_sec, now + 100);
}

TEST(MaintenanceWindow, IdsKeepTheirFullWidth) {
  Maintenance m;
  time_t now = nowSeconds();
  const unsigned long wide = kId + (1UL << 32);
  m.add(1, wide, 1, sec(now - 100), sec(now + 100), 0);
  EXPECT_FALSE(m.isMaintenance(kId));
  m.add(2, kId, 1, sec(now - 100), sec(now - 50), 0);
  m.clean(kId);
  EXPECT_TRUE(m.isMaintenance(wide));
}

}  // namespace
