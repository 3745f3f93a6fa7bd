// The service containers: queue order by whole seconds, replacement by id,
// lookup by name, and who deletes what.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

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
  EXPECT_THROW(q.pop(), std::out_of_range);
  for (long seconds : {30, 10, 20, 5, 25}) q.push(scheduled(seconds, seconds, 999999 - seconds));
  for (long first : {5, 10, 20, 25, 30}) {
    EXPECT_EQ(q.front().exec_time.tv_sec, first);
    EXPECT_EQ(q.pop().exec_time.tv_sec, first);
  }
  EXPECT_FALSE(CompareService()(scheduled(1, 10, 900000), scheduled(2, 10, 1)) ||
               CompareService()(scheduled(2, 10, 1), scheduled(1, 10, 900000)));
}

TEST(UpdateServiceMap, OneServicePerIdTakenOnce) {
  UpdateServiceMap map;
  service first = scheduled(1ULL << 40, 1), second = first;
  second.name = "second";
  map.addService(first);
  map.addService(second);
  map.addService(scheduled(7, 1));
  EXPECT_EQ(map.size(), 2);
  EXPECT_EQ(map.getService(1ULL << 40).name, "second");
  EXPECT_TRUE(map.find(7) && !map.find(1ULL << 40));
  EXPECT_THROW(map.getService(1ULL << 40), std::out_of_range);
}

int deaths = 0;
struct Counted : serviceSyslog {
  ~Counted() override { ++deaths; }
};

TEST(HashMapService, ReplacingKeepsOnlyClearDeletes) {
  Counted first, *second = new Counted;  // first: neither replacing nor a map's end deletes it
  std::make_unique<HashMapService>()->addService("x", &first);
  HashMapService map;
  EXPECT_FALSE(map.find("cron"));
  map.addService("cron", &first);
  map.addService("cron", second);
  EXPECT_TRUE(deaths == 0 && map.getService("cron") == second);
  EXPECT_TRUE(!map.getService("cro") && !map.getService("alpha") && !map.find("crop"));
  map.clear();
  EXPECT_TRUE(deaths == 1 && map.empty());
}

}  // namespace
