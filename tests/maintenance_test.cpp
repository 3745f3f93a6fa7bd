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

const unsigned long kId = 5, kOther = 6;

class MaintenanceTest : public ::testing::Test {
 protected:
  // A window for id from now + from to now + to, in seconds and microseconds.
  void add(int planned, unsigned long id, long from, long to, int status = 1, long fromMicros = 0,
           long toMicros = 0, int option = 0) {
    m.add(planned, id, status, {now + from, fromMicros}, {now + to, toMicros}, option);
  }
  Maintenance m;
  time_t now = nowSeconds();
};

TEST(MaintenanceWindow, ContainsTheCurrentSecondWithInclusiveBounds) {
  struct Case {
    long start, startMicros, end, endMicros;
    bool current;
  } const cases[] = {
      {0, 0, 100, 0, true},       // starts this second
      {-100, 0, 0, 0, true},      // ends this second
      {0, 900000, 0, 100, true},  // same second, microseconds ignored
      {-100, 0, -1, 0, false},    // ended a second ago
      {100, 0, -100, 0, false},   // end before start
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.start) + ".." + std::to_string(c.end));
    bool current = false, clockHeldStill = false;
    for (int attempt = 0; attempt < 10 && !clockHeldStill; ++attempt) {
      Maintenance m;
      const time_t now = nowSeconds();
      m.add(1, kId, 1, {now + c.start, c.startMicros}, {now + c.end, c.endMicros}, 0);
      current = m.isMaintenance(kId);
      clockHeldStill = nowSeconds() == now;
    }
    ASSERT_TRUE(clockHeldStill);
    EXPECT_EQ(current, c.current);
  }
}

// Both forms of clean drop the id's whole list with its planned ids, so a
// window that was still current can be registered again.
TEST_F(MaintenanceTest, CleanRemovesTheWholeListAndItsPlannedIds) {
  add(1, kId, -100, 100);
  m.clean(kId);  // nothing ended yet
  EXPECT_TRUE(m.isMaintenance(kId));
  add(2, kId, -100, -50);
  m.clean(kId);  // the ended window takes the current one with it
  EXPECT_FALSE(m.isMaintenance(kId) || m.isPlannedIDPresent(1) || m.isPlannedIDPresent(2));
  add(1, kId, -100, 100);
  EXPECT_TRUE(m.isMaintenance(kId));

  add(2, kId, 100, 200);
  add(3, kOther, -100, 100);
  m.clean(kId, 3);  // another service's planned id: nothing happens
  EXPECT_TRUE(m.isMaintenance(kId));
  m.clean(kId, 2);
  EXPECT_FALSE(m.isMaintenance(kId) || m.isPlannedIDPresent(1) || m.isPlannedIDPresent(2));
  EXPECT_TRUE(m.isMaintenance(kOther));
}

TEST_F(MaintenanceTest, PlannedIdIsRegisteredOnce) {
  add(3, kId, 100, 200);
  add(3, kId, -100, 100);
  add(3, kOther, -100, 100);
  EXPECT_FALSE(m.isMaintenance(kId) || m.isMaintenance(kOther));
}

TEST_F(MaintenanceTest, InformationOfTheCurrentWindowBesideAnEndedOne) {
  EXPECT_EQ(m.getMaintenanceInformation(kId).status, 0);
  add(1, kId, -200, -100, 9);
  add(2, kId, -100, 100, 4, 123, 456, 12);
  const var_maintenance info = m.getMaintenanceInformation(kId);
  EXPECT_TRUE(info.status == 4 && info.plannedId == 2 && info.option == 12);
  EXPECT_TRUE(info.start.tv_usec == 123 && info.end.tv_sec == now + 100);
}

TEST_F(MaintenanceTest, IdsKeepTheirFullWidth) {
  const unsigned long wide = kId + (1UL << 32);
  add(1, wide, -100, 100);
  EXPECT_FALSE(m.isMaintenance(kId));
  add(2, kId, -100, -50);
  m.clean(kId);
  EXPECT_TRUE(m.isMaintenance(wide));
}

}  // namespace
