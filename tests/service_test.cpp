// The service record: deep copies, ordering, the interval setter and the
// splitting of parameter texts into argument lists.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "services/service.h"

namespace {

using Fields = std::vector<std::string>;

TEST(ServiceRecord, CopiesAreDeepAndIndependent) {
  service original;
  original.Setparameter("one two");
  original.Setparameter("-w 80");  // replaces
  original.SetAlertingParameter("mail");
  original.SetAlertingParameter("'to ops'");  // accumulates
  original.flags[2] = 7;
  original.exec_time = {1LL << 40, 999999};
  service copy(original), assigned;
  assigned = original;
  for (service* changed : {&copy, &assigned}) {
    EXPECT_EQ(changed->exec_time.tv_sec, 1LL << 40);
    changed->parameters.push_back("x");
    changed->alerting_parameters.clear();
    changed->flags[2] = 1;
  }
  EXPECT_EQ(original.parameters, (Fields{"-w", "80"}));
  EXPECT_EQ(original.alerting_parameters, (Fields{"mail", "to ops"}));
  EXPECT_EQ(original.flags[2], 7);
}

TEST(ServiceRecord, OrdersBySecondsThenMicroseconds) {
  auto at = [](long seconds, long micros) {
    service s;
    s.exec_time = {seconds, micros};
    return s;
  };
  EXPECT_TRUE(at(10, 900) < at(11, 0) && at(11, 0) > at(10, 900));
  EXPECT_TRUE(at(10, 1) < at(10, 2) && at(10, 2) > at(10, 1));
  EXPECT_FALSE(at(10, 5) < at(10, 5) || at(10, 5) > at(10, 5));
}

TEST(ServiceRecord, IntervalSetsFrequencyAndRejectsZero) {
  service s;
  s.Setinterval_exec_time(7);  // integer quotient
  EXPECT_FLOAT_EQ(s.frequency, 42857.0f);
  s.Setinterval_exec_time(60);
  EXPECT_THROW(s.Setinterval_exec_time(0), std::invalid_argument);
  EXPECT_EQ(s.interval_exec_time, 60);
  EXPECT_FLOAT_EQ(s.frequency, 5000.0f);
}

TEST(ServiceRecord, ParameterTextsSplitIntoFields) {
  const std::pair<std::string, Fields> cases[] = {
      {"   a  b   ", {"a", "b"}},
      {"", {}},
      {"a\tb\nc", {"a\tb\nc"}},
      {"\"it's ok\"", {"its", "ok"}},  // either quote closes the other
      {"x '' y \"\"", {"x", "y"}},
      {"a 'open quote", {"a", "open quote"}},
      {"pre'mid dle'post", {"premid dlepost"}},
      {"a\\ b", {"a\\", "b"}},
  };
  for (const auto& [text, fields] : cases) {
    service s;
    s.Setparameter(text);
    EXPECT_EQ(s.parameter, text);
    EXPECT_EQ(s.parameters, fields) << text;
  }
}

}  // namespace
