#include "nearest_scan.h"

#include <gtest/gtest.h>

#include <cmath>     // std::copysign
#include <limits>    // std::numeric_limits
#include <optional>  // std::optional
#include <vector>

#include "generators/mnar/kernels/distance_key.h"

namespace gapwright {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::optional<std::uint64_t> scan(const std::vector<double>& column, double threshold) {
  return nearest_by_scan(column.data(), column.size(), 1, 0, threshold);
}

TEST(nearest_scan_test, nearest_value_wins_and_lowest_row_breaks_ties) {
  EXPECT_EQ(scan({1, 2, 3, 4}, 2.5), 1u);
  EXPECT_EQ(scan({4, 3, 2, 1}, 2.5), 1u);
  EXPECT_EQ(scan({9, 7, 7.5, 7}, 7.1), 1u);
  EXPECT_EQ(scan({5, 1, 5, 1}, 2.0), 1u);
}

TEST(nearest_scan_test, reads_only_its_own_column) {
  // Row-major 3 x 2: column 0 holds 10, 20, 30 and column 1 holds 3, 2, 1.
  const std::vector<double> matrix = {10, 3, 20, 2, 30, 1};
  EXPECT_EQ(nearest_by_scan(matrix.data(), 3, 2, 0, 21.0), 1u);
  EXPECT_EQ(nearest_by_scan(matrix.data(), 3, 2, 1, 0.0), 2u);
  EXPECT_EQ(nearest_by_scan(matrix.data(), 3, 2, 1, 20.0), 0u);
}

TEST(nearest_scan_test, skips_blanks_and_reports_an_empty_column) {
  EXPECT_EQ(scan({kNaN, 8, kNaN, 2}, 2.0), 3u);
  EXPECT_EQ(scan({kNaN, kNaN, 100}, 0.0), 2u);
  EXPECT_EQ(scan({kNaN, std::copysign(kNaN, -1.0)}, 0.0), std::nullopt);
  EXPECT_EQ(scan({}, 0.0), std::nullopt);
}

TEST(nearest_scan_test, overflowing_squares_tie_below_any_finite_one) {
  EXPECT_EQ(scan({1e200, -1e200, 3e200}, 0.0), 0u);
  EXPECT_EQ(scan({1e200, -1e200, 1e150}, 0.0), 2u);
  EXPECT_EQ(scan({kInf, -1e200, -kInf}, 0.0), 0u);
}

TEST(nearest_scan_test, same_sign_infinities_beat_every_number) {
  // inf - inf ranks as the NaN x86-64 makes, sign bit set, on every processor:
  // the lowest rank.
  EXPECT_EQ(scan({5, -kInf, kInf, kInf}, kInf), 2u);
  EXPECT_EQ(scan({5, kInf, -kInf}, -kInf), 2u);
  // With no such cell every square is +inf and the lowest row wins.
  EXPECT_EQ(scan({5, -kInf, 1e308}, kInf), 0u);
}

TEST(nearest_scan_test, signed_zeros_are_equally_near) {
  EXPECT_EQ(scan({-0.0, 0.0}, 0.0), 0u);
  EXPECT_EQ(scan({0.0, -0.0}, -0.0), 0u);
  EXPECT_EQ(scan({1e-100, -0.0}, 0.0), 1u);
  // A square that underflows to zero ties with an exact match.
  EXPECT_EQ(scan({1e-300, -0.0}, 0.0), 0u);
}

TEST(nearest_scan_test, distance_key_ranks_like_the_squared_distance) {
  volatile double infinity = kInf;
  EXPECT_LT(distance_key(infinity, infinity), total_order_key(0.0));
  EXPECT_LT(distance_key(-infinity, -infinity), total_order_key(0.0));
  EXPECT_EQ(distance_key(-0.0, 0.0), total_order_key(0.0));
  EXPECT_LT(distance_key(2.0, 2.5), distance_key(1.0, 2.5));
  EXPECT_EQ(distance_key(1e200, 0.0), distance_key(-3e250, 0.0));
}

}  // namespace
}  // namespace gapwright
