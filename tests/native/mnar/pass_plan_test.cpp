#include "generators/mnar/plan/pass_plan.h"

#include <gtest/gtest.h>

#include <bit>      // std::bit_cast
#include <cmath>    // std::isnan
#include <cstdint>  // std::uint32_t, std::uint64_t
#include <limits>   // std::numeric_limits
#include <set>      // std::set
#include <tuple>    // std::tuple
#include <vector>

#include "runtime/gauss.h"

namespace gapwright {
namespace {

// The words the two streams hand out next are the same: they stand at the
// same place.
bool same_place(RandomStream a, RandomStream b) {
  for (int i = 0; i < 200; ++i) {
    if (a.draw_u32() != b.draw_u32()) return false;
  }
  return true;
}

// Column c's deviates in pass order.
std::vector<double> deviates_of(const PassPlan& plan, std::size_t c) {
  std::vector<double> out;
  bool in_last = false;
  for (const std::uint32_t column : plan.last) in_last = in_last || column == c;
  for (std::size_t pass = 0; pass < plan.full_passes + (in_last ? 1 : 0); ++pass) {
    out.push_back(plan.deviates[c * plan.stride() + pass]);
  }
  return out;
}

TEST(pass_plan_test, full_passes_take_every_column_and_the_last_takes_the_rest) {
  RandomStream stream = RandomStream::seed_from_u64(5);
  const PassPlan plan = plan_passes(stream, 4, 10, true);
  EXPECT_EQ(plan.full_passes, 2U);
  EXPECT_EQ(plan.passes(), 3U);
  const std::set<std::uint32_t> chosen(plan.last.begin(), plan.last.end());
  EXPECT_EQ(chosen.size(), 2U);
  for (const std::uint32_t column : chosen) EXPECT_LT(column, 4U);

  // The draws in pass order: pass 0 columns 0..3, pass 1, then the
  // reservoir of the last pass and its two deviates.
  RandomStream expected = RandomStream::seed_from_u64(5);
  for (std::size_t pass = 0; pass < 2; ++pass) {
    for (std::size_t c = 0; c < 4; ++c) {
      EXPECT_EQ(plan.deviates[c * plan.stride() + pass], Gauss::deviate(expected));
    }
  }
  const std::vector<std::uint64_t> last = expected.pick_indices(4, 2);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(plan.last[i], last[i]);
    EXPECT_EQ(plan.deviates[last[i] * plan.stride() + 2], Gauss::deviate(expected));
  }
  EXPECT_TRUE(same_place(stream, expected));
}

// Drawing the passes one call at a time, each for the blanks still to go,
// gives the same plan and leaves the stream at the same place: what a failed
// dump relies on to put the stream after the failing pass.
TEST(pass_plan_test, planning_pass_by_pass_draws_the_same) {
  RandomStream whole_stream = RandomStream::seed_from_u64(9);
  const PassPlan whole = plan_passes(whole_stream, 5, 23, true);

  RandomStream step_stream = RandomStream::seed_from_u64(9);
  std::vector<std::vector<double>> deviates(5);
  std::vector<std::uint32_t> last;
  std::uint64_t left = 23;
  while (left > 0) {
    const PassPlan one = plan_passes(step_stream, 5, left, true, 1);
    ASSERT_EQ(one.passes(), 1U);
    for (std::size_t c = 0; c < 5; ++c) {
      for (const double deviate : deviates_of(one, c)) deviates[c].push_back(deviate);
    }
    last = one.last;
    left -= one.full_passes > 0 ? 5 : one.last.size();
  }
  for (std::size_t c = 0; c < 5; ++c) EXPECT_EQ(deviates[c], deviates_of(whole, c)) << c;
  EXPECT_EQ(last, whole.last);
  EXPECT_TRUE(same_place(whole_stream, step_stream));
}

TEST(pass_plan_test, no_passes_draw_nothing) {
  RandomStream stream = RandomStream::seed_from_u64(3);
  const RandomStream before = stream;
  EXPECT_EQ(plan_passes(stream, 3, 0, true).passes(), 0U);
  EXPECT_EQ(plan_passes(stream, 3, 9, true, 0).passes(), 0U);
  EXPECT_TRUE(same_place(stream, before));
}

// Deviates read the same words whatever model turns them into thresholds:
// a model of NaN spread makes every threshold of its column NaN, the others
// stay numbers, and skipping the deviates moves the stream alike.
TEST(pass_plan_test, deviates_through_the_models_are_the_samples) {
  std::vector<Gauss> models = {{0.0, 1.0}, {1.0, std::numeric_limits<double>::quiet_NaN()},
                               {2.0, 1.0}};
  RandomStream stream = RandomStream::seed_from_u64(1);
  const PassPlan plan = plan_passes(stream, 3, 30, true);
  RandomStream drawn = RandomStream::seed_from_u64(1);
  for (std::size_t pass = 0; pass < plan.full_passes; ++pass) {
    for (std::size_t c = 0; c < 3; ++c) {
      const double threshold = models[c].from_deviate(plan.deviates[c * plan.stride() + pass]);
      const double sample = models[c].sample(drawn);
      EXPECT_EQ(std::isnan(threshold), c == 1);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(threshold), std::bit_cast<std::uint64_t>(sample));
    }
  }
  EXPECT_TRUE(same_place(stream, drawn));

  RandomStream skipped = RandomStream::seed_from_u64(1);
  const PassPlan without = plan_passes(skipped, 3, 30, false);
  EXPECT_TRUE(without.deviates.empty());
  EXPECT_TRUE(same_place(stream, skipped));
}

TEST(pass_plan_test, drawing_on_the_pool_gives_the_same_plan) {
  ThreadPool pool(3);
  for (const auto& [cols, blanks, jobs] :
       {std::tuple<std::size_t, std::uint64_t, std::size_t>{10, 1000, 2}, {3, 2, 3}, {7, 7001, 3},
        {1, 500, 1}, {900, 720, 2}}) {
    RandomStream alone = RandomStream::seed_from_u64(cols + blanks);
    RandomStream shared = alone;
    alone.draw_u32();  // plans start anywhere in the stream
    shared.draw_u32();
    const PassPlan expected = plan_passes(alone, cols, blanks, true);
    const PassPlan actual = plan_passes_on(pool, jobs, shared, cols, blanks);
    EXPECT_EQ(actual.full_passes, expected.full_passes);
    EXPECT_EQ(actual.last, expected.last);
    ASSERT_EQ(actual.deviates.size(), expected.deviates.size());
    for (std::size_t i = 0; i < actual.deviates.size(); ++i) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(actual.deviates[i]),
                std::bit_cast<std::uint64_t>(expected.deviates[i]));
    }
    EXPECT_TRUE(same_place(shared, alone));
  }
}

}  // namespace
}  // namespace gapwright
