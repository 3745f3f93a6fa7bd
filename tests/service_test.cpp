// The service record: ordering, the interval setter and the splitting of
// parameter texts into argument lists.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "services/service.h"

namespace {

using Fields = std::vector<std::string>;

TEST(ServiceRecord, OrdersBySecondsThenMicroseconds) {
  service a, b, c;
  a.exec_time = {10, 900};
  b.exec_time = {11, 0};
  c.exec_time = {10, 901};
  EXPECT_TRUE(a < b && b > a && a < c && c > a);
  EXPECT_FALSE(a < a || a > a);
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

TEST(ServiceRecord, ParameterTextsSplitIntoFieldsAlertingOnesAccumulate) {
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
  service s;
  s.Setparameter("one two");
  s.Setparameter("-w 80");  // replaces
  s.SetAlertingParameter("mail");
  s.SetAlertingParameter("'to ops'");  // accumulates
  EXPECT_EQ(s.parameters, (Fields{"-w", "80"}));
  EXPECT_EQ(s.alerting_parameters, (Fields{"mail", "to ops"}));
}

}  // namespace
