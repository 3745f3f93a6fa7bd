// The service containers: queue order by whole seconds, replacement by id,
// lookup by name, and who deletes what.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "services/HashMapService.h"
#include "services/UpdateServiceMap.h"
#include "services/WaitServiceQueue.h"

namespace {

service scheduled(unsigned long long id, long seconds, long micros = 0) {
  service s;
  s.id = id;
  s.exec_time = {seconds, micros};
  return s;
}

TEST(WaitServiceQueue, EarliestSecondFirstMicrosecondsIgnored) {
  WaitServiceQueue q;
  EXPECT_THROW(q.front(), std::out_of_range);
  EXPECT_THROW(q.pop(), std::out_of_range);
  for (long seconds : {30, 10, 20, 5, 25}) q.push(scheduled(seconds, seconds));
  EXPECT_EQ(q.front().exec_time.tv_sec, 5);
  std::vector<long> order;
  while (!q.empty()) order.push_back(q.pop().exec_time.tv_sec);
  EXPECT_EQ(order, (std::vector<long>{5, 10, 20, 25, 30}));
  CompareService later;
  EXPECT_FALSE(later(scheduled(1, 10, 900000), scheduled(2, 10, 1)) ||
               later(scheduled(2, 10, 1), scheduled(1, 10, 900000)));
}

TEST(UpdateServiceMap, OneServicePerIdTakenOnce) {
  UpdateServiceMap map;
  service first = scheduled(1ULL << 40, 1), second = first;
  first.name = "first";
  second.name = "second";
  map.addService(first);
  map.addService(second);
  map.addService(scheduled(7, 1));
  EXPECT_EQ(map.size(), 2);
  EXPECT_EQ(map.getService(1ULL << 40).name, "second");
  EXPECT_FALSE(map.find(1ULL << 40));
  EXPECT_THROW(map.getService(1ULL << 40), std::out_of_range);
}

// A serviceSyslog that counts its destructions.
struct Counted : serviceSyslog {
  explicit Counted(int* deaths) : deaths(deaths) {}
  ~Counted() override { ++*deaths; }
  int* deaths;
};

TEST(HashMapService, ReplacingKeepsOnlyClearDeletes) {
  int deaths = 0;
  Counted first(&deaths);  // owned here: neither replacing nor destroying the map deletes it
  auto* second = new Counted(&deaths);
  {
    HashMapService kept;
    kept.addService("x", &first);
  }
  HashMapService map;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(map.find("cron"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "search cron\n");
  EXPECT_EQ(map.getService("cron"), nullptr);
  map.addService("cron", &first);
  map.addService("cron", second);
  map.addService("empty", nullptr);
  EXPECT_EQ(deaths, 0);
  EXPECT_EQ(map.getService("cron"), second);
  map.clear();
  EXPECT_EQ(deaths, 1);
  EXPECT_TRUE(map.empty());
}

}  // namespace
