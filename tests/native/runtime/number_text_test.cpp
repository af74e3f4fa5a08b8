#include "utils/text/number_text.h"

#include <gtest/gtest.h>

#include <limits>  // std::numeric_limits
#include <string>
#include <utility>  // std::pair
#include <vector>

namespace gapwright {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(number_text_test, format_positional) {
  const std::vector<std::pair<double, std::string>> cases = {
      {0.5, "0.5"},
      {3.0, "3"},
      {1e-7, "0.0000001"},
      {1e21, "1000000000000000000000"},
      {0.1 + 0.2, "0.30000000000000004"},
      {-0.0, "-0"},
      {-2.5, "-2.5"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {kNaN, "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(format_positional(value), text) << text;
  EXPECT_EQ(format_positional(1.7976931348623157e308).size(), 309U);
}

TEST(number_text_test, dump_numbers_switch_to_scientific_outside_1e_4_to_1e16) {
  const std::vector<std::pair<double, std::string>> cases = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {1234.5, "1234.5"},
      {0.0001, "0.0001"},
      {9.9e-5, "9.9e-5"},
      {1e-5, "1e-5"},
      {-1.5e-7, "-1.5e-7"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e16, "1e16"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {5e-324, "5e-324"},
      {kNaN, "NaN"},
      {-kInf, "-inf"},
  };
  for (const auto& [value, text] : cases) {
    std::string out = "[";
    append_dump_number(out, value);
    EXPECT_EQ(out, "[" + text) << text;
  }
}

}  // namespace
}  // namespace gapwright
