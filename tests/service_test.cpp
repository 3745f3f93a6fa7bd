// The service record: ordering, the interval setter and the splitting of
// parameter texts into argument lists (either quote closes the other).
#include "services/service.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Fields = std::vector<std::string>;

TEST(ServiceRecord, OrdersBySecondsThenMicroseconds) {
  service a, b, c;
  a.exec_time = {10, 900};
  b.exec_time = {11, 0};
  c.exec_time = {10, 901};
  EXPECT_TRUE(a < b && b > a && a < c && c > a);
  EXPECT_FALSE(a < a || a > a || b < a || b < c);
}

TEST(ServiceRecord, IntervalSetsFrequencyAndRejectsZero) {
  service s;
  s.Setinterval_exec_time(7);  // integer quotient
  EXPECT_FLOAT_EQ(s.frequency, 42857.0f);
  EXPECT_THROW(s.Setinterval_exec_time(0), std::invalid_argument);
  EXPECT_EQ(s.interval_exec_time, 7);
  EXPECT_FLOAT_EQ(s.frequency, 42857.0f);
}

TEST(ServiceRecord, ParameterTextsSplitIntoFieldsAlertingOnesAccumulate) {
  const std::pair<std::string, Fields> cases[] = {{"   a  b   ", {"a", "b"}},
                                                  {"", {}},
                                                  {"a\tb\nc", {"a\tb\nc"}},
                                                  {"\"it's ok\"", {"its", "ok"}},
                                                  {"x '' y \"\"", {"x", "y"}},
                                                  {"a 'open quote", {"a", "open quote"}},
                                                  {"pre'mid dle'post", {"premid dlepost"}},
                                                  {"a\\ b", {"a\\", "b"}}};
  service s;
  for (const auto& [text, fields] : cases) {
    s.Setparameter(text);  // replaces
    EXPECT_EQ(s.parameters, fields) << text;
  }
  s.SetAlertingParameter("mail");
  s.SetAlertingParameter("'to ops'");  // accumulates
  EXPECT_EQ(s.alerting_parameters, (Fields{"mail", "to ops"}));
}

}  // namespace
