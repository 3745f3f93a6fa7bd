// The service record: defaults, deep copies, ordering, the interval setter and
// the splitting of parameter texts into argument lists.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "services/service.h"

using Fields = std::vector<std::string>;

namespace {
service at(long seconds, long micros) {
  service s;
  s.exec_time = {seconds, micros};
  return s;
}
}  // namespace

TEST(ServiceRecord, FreshRecordHasDefaults) {
  service s;
  EXPECT_EQ(s.id, 0u);
  EXPECT_EQ(s.return_code, 0);
  EXPECT_FLOAT_EQ(s.frequency, 1.0f);
  EXPECT_EQ(s.exec_time.tv_sec, 0);
  EXPECT_EQ(s.exec_time.tv_usec, 0);
  for (unsigned char flag : s.flags) EXPECT_EQ(flag, 0);
  EXPECT_TRUE(s.parameters.empty());
  EXPECT_TRUE(s.output.empty());
}

TEST(ServiceRecord, CopiesAreIndependent) {
  service original;
  original.name = "disk";
  original.Setparameter("-w 80");
  original.SetAlertingParameter("mail");
  original.flags[2] = 7;
  original.exec_time = {1LL << 40, 999999};
  original.id = 1ULL << 63;

  service copy(original);
  service assigned;
  assigned = original;
  for (service* changed : {&copy, &assigned}) {
    EXPECT_EQ(changed->exec_time.tv_sec, 1LL << 40);
    EXPECT_EQ(changed->id, 1ULL << 63);
    EXPECT_EQ(changed->parameters, (Fields{"-w", "80"}));
    changed->name = "other";
    changed->parameters.push_back("x");
    changed->alerting_parameters.clear();
    changed->flags[2] = 1;
  }
  EXPECT_EQ(original.name, "disk");
  EXPECT_EQ(original.parameters, (Fields{"-w", "80"}));
  EXPECT_EQ(original.alerting_parameters, (Fields{"mail"}));
  EXPECT_EQ(original.flags[2], 7);
}

TEST(ServiceRecord, OrdersBySecondsThenMicroseconds) {
  EXPECT_TRUE(at(10, 900) < at(11, 0));
  EXPECT_TRUE(at(11, 0) > at(10, 900));
  EXPECT_TRUE(at(10, 1) < at(10, 2));
  EXPECT_TRUE(at(10, 2) > at(10, 1));
  EXPECT_FALSE(at(10, 5) < at(10, 5));
  EXPECT_FALSE(at(10, 5) > at(10, 5));
}

TEST(ServiceRecord, IntervalSetsFrequency) {
  service s;
  s.Setinterval_exec_time(60);
  EXPECT_EQ(s.interval_exec_time, 60);
  EXPECT_FLOAT_EQ(s.frequency, 5000.0f);
  s.Setinterval_exec_time(7);  // integer quotient: 42857
  EXPECT_FLOAT_EQ(s.frequency, 42857.0f);
  s.Setinterval_exec_time(300001);
  EXPECT_FLOAT_EQ(s.frequency, 0.0f);
}

TEST(ServiceRecord, ZeroIntervalIsRejectedWithoutChange) {
  service s;
  s.Setinterval_exec_time(60);
  EXPECT_THROW(s.Setinterval_exec_time(0), std::invalid_argument);
  EXPECT_EQ(s.interval_exec_time, 60);
  EXPECT_FLOAT_EQ(s.frequency, 5000.0f);
}

class ParameterSplitting : public ::testing::Test {
 protected:
  Fields split(const std::string& text) {
    s.Setparameter(text);
    EXPECT_EQ(s.parameter, text);
    return s.parameters;
  }
  service s;
};

TEST_F(ParameterSplitting, SpacesSeparateFields) {
  EXPECT_EQ(split("-w 80 -c 90"), (Fields{"-w", "80", "-c", "90"}));
  EXPECT_EQ(split("   a  b   "), (Fields{"a", "b"}));
  EXPECT_EQ(split(""), Fields{});
  EXPECT_EQ(split("a\tb\nc"), (Fields{"a\tb\nc"}));
}

TEST_F(ParameterSplitting, EitherQuoteTogglesOneQuotedState) {
  EXPECT_EQ(split("\"disk full\""), (Fields{"disk full"}));
  EXPECT_EQ(split("\"it's ok\""), (Fields{"its", "ok"}));
  EXPECT_EQ(split("x '' y \"\""), (Fields{"x", "y"}));
  EXPECT_EQ(split("a 'open quote"), (Fields{"a", "open quote"}));
  EXPECT_EQ(split("pre'mid dle'post"), (Fields{"premid dlepost"}));
}

TEST_F(ParameterSplitting, BackslashIsOrdinary) {
  EXPECT_EQ(split("a\\b"), (Fields{"a\\b"}));
  EXPECT_EQ(split("a\\ b"), (Fields{"a\\", "b"}));
}

TEST_F(ParameterSplitting, SetparameterReplacesAlertingAccumulates) {
  s.Setparameter("one two");
  s.Setparameter("three");
  EXPECT_EQ(s.parameters, Fields{"three"});
  EXPECT_EQ(s.parameter, "three");

  s.SetAlertingParameter("a b");
  s.SetAlertingParameter("'c d'");
  EXPECT_EQ(s.alerting_parameters, (Fields{"a", "b", "c d"}));
  EXPECT_EQ(s.parameter, "three");
}
