// The service containers: queue order by whole seconds, replacement by id,
// lookup by name, and who deletes what.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
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

TEST(WaitServiceQueue, EarliestSecondComesFirst) {
  WaitServiceQueue q;
  for (long seconds : {30, 10, 20, 5, 25}) q.push(scheduled(seconds, seconds));
  EXPECT_EQ(q.size(), 5);
  EXPECT_EQ(q.front().exec_time.tv_sec, 5);
  std::vector<long> order;
  while (!q.empty()) order.push_back(q.pop().exec_time.tv_sec);
  EXPECT_EQ(order, (std::vector<long>{5, 10, 20, 25, 30}));
}

TEST(WaitServiceQueue, MicrosecondsDoNotOrder) {
  CompareService later;
  service a = scheduled(1, 10, 900000);
  service b = scheduled(2, 10, 1);
  EXPECT_FALSE(later(a, b));
  EXPECT_FALSE(later(b, a));
  EXPECT_TRUE(later(scheduled(3, 11), a));
}

TEST(WaitServiceQueue, HoldsIndependentCopies) {
  WaitServiceQueue q;
  service s = scheduled(1, 10);
  s.name = "kept";
  q.push(s);
  s.name = "changed";
  service front = q.front();
  EXPECT_EQ(front.name, "kept");
  EXPECT_EQ(q.size(), 1);
  EXPECT_EQ(q.pop().name, "kept");
  EXPECT_TRUE(q.empty());
}

TEST(WaitServiceQueue, EmptyQueueRefusesToGive) {
  WaitServiceQueue q;
  EXPECT_THROW(q.front(), std::out_of_range);
  EXPECT_THROW(q.pop(), std::out_of_range);
  EXPECT_EQ(q.size(), 0);
}

TEST(UpdateServiceMap, SecondServiceWithAnIdReplacesTheFirst) {
  UpdateServiceMap map;
  service first = scheduled(42, 1);
  first.name = "first";
  service second = scheduled(42, 2);
  second.name = "second";
  map.addService(first);
  map.addService(second);
  EXPECT_EQ(map.size(), 1);
  EXPECT_EQ(map.getService(42).name, "second");
}

TEST(UpdateServiceMap, TakingRemoves) {
  UpdateServiceMap map;
  map.addService(scheduled(1ULL << 40, 1));
  map.addService(scheduled(7, 1));
  EXPECT_TRUE(map.find(1ULL << 40));
  EXPECT_FALSE(map.find(0));
  EXPECT_EQ(map.getService(1ULL << 40).id, 1ULL << 40);
  EXPECT_FALSE(map.find(1ULL << 40));
  EXPECT_EQ(map.size(), 1);
  EXPECT_THROW(map.getService(1ULL << 40), std::out_of_range);
  EXPECT_EQ(map.size(), 1);
  map.getService(7);
  EXPECT_TRUE(map.empty());
}

// A serviceSyslog that counts its destructions.
struct Counted : serviceSyslog {
  explicit Counted(int* deaths) : deaths(deaths) {}
  ~Counted() override { ++*deaths; }
  int* deaths;
};

TEST(HashMapService, FindAnnouncesTheSearch) {
  HashMapService map;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(map.find("sshd"));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "search sshd\n");
  EXPECT_EQ(map.getService("sshd"), nullptr);
}

TEST(HashMapService, ReplacingKeepsTheEarlierObjectAlive) {
  int deaths = 0;
  Counted first(&deaths);  // owned by the test: replacing must not delete it
  HashMapService map;
  auto* second = new Counted(&deaths);
  map.addService("cron", &first);
  map.addService("cron", second);
  EXPECT_EQ(deaths, 0);
  EXPECT_EQ(map.size(), 1);
  EXPECT_EQ(map.getService("cron"), second);
  EXPECT_EQ(map.size(), 1);  // getService leaves it in place
  map.clear();
  EXPECT_EQ(deaths, 1);
}

TEST(HashMapService, ClearDeletesEveryObjectAndSkipsNull) {
  int deaths = 0;
  HashMapService map;
  map.addService("a", new Counted(&deaths));
  map.addService("b", nullptr);
  map.addService("c", new Counted(&deaths));
  EXPECT_EQ(map.size(), 3);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(map.find("b"));
  testing::internal::GetCapturedStdout();
  map.clear();
  EXPECT_EQ(deaths, 2);
  EXPECT_TRUE(map.empty());
}

TEST(HashMapService, DestroyingTheMapDeletesNothing) {
  int deaths = 0;
  Counted kept(&deaths);
  {
    HashMapService map;
    map.addService("kept", &kept);
  }
  EXPECT_EQ(deaths, 0);
}

}  // namespace
