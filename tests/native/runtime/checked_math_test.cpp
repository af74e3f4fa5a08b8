#include "runtime/checked_math.h"

#include <gtest/gtest.h>

#include <cmath>    // std::nextafter
#include <cstdint>  // std::uint64_t, UINT64_MAX
#include <limits>   // std::numeric_limits

#include "runtime/internal_error.h"

namespace gapwright {
namespace {

TEST(checked_math_test, saturating_u64_truncates_and_clamps) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double two_64 = 18446744073709551616.0;
  EXPECT_EQ(saturating_u64(std::numeric_limits<double>::quiet_NaN()), 0U);
  EXPECT_EQ(saturating_u64(-inf), 0U);
  EXPECT_EQ(saturating_u64(-1.5), 0U);
  EXPECT_EQ(saturating_u64(-0.0), 0U);
  EXPECT_EQ(saturating_u64(0.999), 0U);
  EXPECT_EQ(saturating_u64(7.9), 7U);
  EXPECT_EQ(saturating_u64(std::nextafter(two_64, 0.0)), 18446744073709549568ULL);
  EXPECT_EQ(saturating_u64(two_64), UINT64_MAX);
  EXPECT_EQ(saturating_u64(inf), UINT64_MAX);
}

TEST(checked_math_test, cell_count_refuses_a_product_that_wraps) {
  EXPECT_EQ(cell_count(0, UINT64_MAX), 0U);
  EXPECT_EQ(cell_count(4294967296ULL, 4294967295ULL), 18446744069414584320ULL);
  EXPECT_THROW(cell_count(4294967296ULL, 4294967296ULL), InternalError);
}

}  // namespace
}  // namespace gapwright
