#include "runtime/gauss.h"

#include <cmath>   // std::cos, std::isnan, std::log, std::sqrt
#include <limits>  // std::numeric_limits

#include <gtest/gtest.h>

namespace gapwright {
namespace {

std::uint64_t words_read(const RandomStream& before, const RandomStream& after) {
  const auto total = [](const RandomStream& s) { return s.block_counter() * 16 - (64 - s.position()); };
  return total(after) - total(before);
}

TEST(gauss_test, zero_spread_returns_mean_and_still_draws) {
  RandomStream stream = RandomStream::seed_from_u64(9);
  const Gauss gauss{0.3, 0.0};
  for (int i = 0; i < 40; ++i) {
    const RandomStream before = stream;
    RandomStream skipped = stream;
    EXPECT_EQ(gauss.sample(stream), 0.3);
    EXPECT_EQ(words_read(before, stream), 4U);
    Gauss::skip_deviate(skipped);
    EXPECT_EQ(skipped.words_drawn(), stream.words_drawn());
  }
}

TEST(gauss_test, skipping_many_deviates_reads_what_skipping_each_reads) {
  for (const std::uint64_t start : {0U, 1U, 13U, 63U, 64U}) {
    for (const std::uint64_t count : {0U, 1U, 15U, 16U, 17U, 1000U}) {
      RandomStream each = RandomStream::seed_from_u64(5);
      each.seek(start);
      RandomStream many = each;
      for (std::uint64_t i = 0; i < count; ++i) Gauss::skip_deviate(each);
      Gauss::skip_deviates(many, count);
      EXPECT_EQ(many.words_drawn(), each.words_drawn()) << start << " " << count;
      EXPECT_EQ(many.draw_u64(), each.draw_u64()) << start << " " << count;
    }
  }
}

TEST(gauss_test, cosine_branch_of_box_muller) {
  RandomStream stream = RandomStream::seed_from_u64(2024);
  const Gauss gauss{-1.5, 2.25};
  for (int i = 0; i < 50; ++i) {
    RandomStream copy = stream;
    const double u1 = copy.draw_f64();
    const double u2 = copy.draw_f64();
    const double expected = ((std::cos(u2 * 6.283185307179586) * std::sqrt(-2.0 * std::log(u1))) * 2.25) + -1.5;
    EXPECT_EQ(gauss.sample(stream), expected);
  }
}

TEST(gauss_test, same_stream_same_samples) {
  RandomStream a = RandomStream::seed_from_u64(11);
  RandomStream b = RandomStream::seed_from_u64(11);
  const Gauss gauss{10.0, 3.0};
  for (int i = 0; i < 100; ++i) EXPECT_EQ(gauss.sample(a), gauss.sample(b));
}

TEST(gauss_test, non_finite_parameters_pass_through) {
  RandomStream stream = RandomStream::seed_from_u64(1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(std::isnan(Gauss{nan, 1.0}.sample(stream)));
  EXPECT_TRUE(std::isnan(Gauss{0.0, nan}.sample(stream)));
  const double inf = std::numeric_limits<double>::infinity();
  const Gauss infinite_mean{inf, 1.0};
  EXPECT_EQ(infinite_mean.sample(stream), inf);
}

}  // namespace
}  // namespace gapwright
