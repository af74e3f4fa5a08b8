#include "generators/mnar/plan/column_models.h"

#include <gtest/gtest.h>

#include <algorithm>  // std::sort
#include <bit>        // std::bit_cast
#include <cmath>      // std::isnan, std::signbit, std::copysign, std::ldexp
#include <cstdint>    // std::uint64_t
#include <limits>     // std::numeric_limits
#include <random>     // std::mt19937_64
#include <vector>

#include "generators/mnar/kernels/total_order.h"
#include "runtime/internal_error.h"

namespace gapwright {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The model of a column given in row order, sorted first as the caller does.
Gauss model(std::vector<double> column, double mean = 0.5, double variance = 0.0) {
  std::sort(column.begin(), column.end(),
            [](double a, double b) { return total_order_key(a) < total_order_key(b); });
  return column_model(column.data(), column.size(), mean, variance);
}

TEST(column_models_test, median_and_range_of_plain_columns) {
  const Gauss odd = model({3, 1, 2});
  EXPECT_EQ(odd.mean, 2.0);
  EXPECT_EQ(odd.std_dev, 0.0);

  const Gauss even = model({4, 1, 3, 2}, 0.5, 0.1);
  EXPECT_EQ(even.mean, 2.5);
  EXPECT_EQ(even.std_dev, 3.0 * 0.1);

  const Gauss single = model({7.25}, 0.9, 123.0);
  EXPECT_EQ(single.mean, 7.25);
  EXPECT_EQ(single.std_dev, 0.0);
}

TEST(column_models_test, quantile_position_rounds_down) {
  // n = 8, mean 0.25: p = 2, the average of s[1] and s[2].
  EXPECT_EQ(model({10, 20, 30, 40, 50, 60, 70, 80}, 0.25).mean, 25.0);
  // n = 7: p = 1, s[1] alone.
  EXPECT_EQ(model({10, 20, 30, 40, 50, 60, 70}, 0.25).mean, 20.0);
  EXPECT_EQ(model({10, 20, 30, 40, 50, 60, 70}, 0.99).mean, 70.0);
}

TEST(column_models_test, zeros_follow_the_total_order) {
  const Gauss g = model({0.0, -0.0, 5.0});
  EXPECT_EQ(g.mean, 0.0);
  EXPECT_FALSE(std::signbit(g.mean));
  EXPECT_TRUE(std::signbit(model({0.0, -0.0, 5.0}, 0.0).mean));
}

TEST(column_models_test, positions_past_the_end_are_clamped_to_the_maximum) {
  EXPECT_EQ(model({4, 1, 3, 2}, 1.0).mean, 4.0);  // p = n: valid as it is
  EXPECT_EQ(model({5, 1, 4, 2, 3}, 1.0).mean, 5.0);
  EXPECT_EQ(model({4, 1, 3, 2}, 1.5).mean, 4.0);
  EXPECT_EQ(model({4, 1, 3, 2}, kInf).mean, 4.0);
  EXPECT_EQ(model({5, 1, 4, 2, 3}, kInf).mean, 5.0);
  EXPECT_EQ(model({5, 1, 4, 2, 3}, 1e300).mean, 5.0);
  // For even n the maximum is averaged with itself, which can overflow.
  EXPECT_EQ(model({1e308, 1.7e308}, 7.0).mean, kInf);
}

TEST(column_models_test, negative_and_nan_means_take_the_smallest_value) {
  EXPECT_EQ(model({3, -2, 8}, -0.5).mean, -2.0);
  EXPECT_EQ(model({3, -2, 8}, -kInf).mean, -2.0);
  EXPECT_EQ(model({3, -2, 8, 1}, kNaN).mean, -2.0);
  const double negative_nan = std::copysign(kNaN, -1.0);
  const Gauss g = model({3, negative_nan, 8}, kNaN);
  EXPECT_TRUE(std::isnan(g.mean));
  EXPECT_TRUE(std::signbit(g.mean));
}

TEST(column_models_test, nan_and_infinite_values_spoil_the_spread) {
  const Gauss with_nan = model({1, kNaN, 3}, 0.5, 1.0);
  EXPECT_EQ(with_nan.mean, 3.0);
  EXPECT_TRUE(std::isnan(with_nan.std_dev));
  EXPECT_TRUE(std::isnan(model({kNaN, kNaN}).std_dev));

  EXPECT_TRUE(std::isnan(model({1, kInf, 3}, 0.5, 0.0).std_dev));
  EXPECT_EQ(model({1, kInf, 3}, 0.5, 2.0).std_dev, kInf);
  EXPECT_TRUE(std::isnan(model({kInf, kInf}, 0.5, 2.0).std_dev));
  EXPECT_TRUE(std::isnan(model({1, 3}, 0.5, kNaN).std_dev));
  EXPECT_EQ(model({1, 3}, 0.5, kInf).std_dev, kInf);
}

// Short columns are modelled from a sorted copy of their keys, or, when
// their values are finite, by slots of value without a sort. Both must give
// the model of the sorted column bit for bit, on columns of ties and both
// zeros, of a range too wide to compute, of one value, at every quantile.
TEST(column_models_test, short_models_are_the_sorted_model) {
  const std::vector<double> finite = {-0.0, 0.0, 1.5, -2.0, 4.9e-324, 1e308, -1e308, 7.0};
  const std::vector<double> means = {-1.0, 0.0, 0.25, 0.5, 0.999, 1.0, kNaN};
  const auto same = [](double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
  };
  std::mt19937_64 random(5);
  for (int round = 0; round < 600; ++round) {
    const std::size_t n = 1 + random() % (round % 3 == 0 ? kShortColumnRows : 40);
    const std::size_t levels = 1 + random() % finite.size();
    std::vector<double> column(n);
    for (double& value : column) {
      value = round % 2 == 0 ? finite[random() % levels]
                             : std::ldexp(static_cast<double>(random() >> 11), -53) - 0.5;
    }
    for (const double mean : means) {
      const Gauss expected = model(column, mean, 0.1);
      const Gauss sorted = short_column_model(column.data(), n, 1, mean, 0.1);
      std::vector<std::uint64_t> keys(n);
      for (std::size_t r = 0; r < n; ++r) keys[r] = total_order_ukey(column[r]);
      const Gauss slotted = finite_short_column_model(column.data(), keys.data(), n, mean, 0.1);
      for (const Gauss& got : {sorted, slotted}) {
        ASSERT_TRUE(same(got.mean, expected.mean)) << "round " << round << " mean " << mean;
        ASSERT_TRUE(same(got.std_dev, expected.std_dev)) << "round " << round;
      }
    }
  }
}

TEST(column_models_test, an_empty_column_is_an_internal_failure) {
  try {
    column_model(nullptr, 0, 0.5, 0.0);
    FAIL() << "an empty column has no model";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "index out of bounds: the len is 0 but the index is 0");
  }
}

}  // namespace
}  // namespace gapwright
