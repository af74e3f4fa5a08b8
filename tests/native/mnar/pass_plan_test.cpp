#include "generators/mnar/pass_plan.h"

#include <gtest/gtest.h>

#include <cmath>    // std::isnan
#include <cstdint>  // std::uint32_t, std::uint64_t
#include <limits>   // std::numeric_limits
#include <set>      // std::set
#include <vector>

namespace gapwright {
namespace {

std::vector<Gauss> spread_models(std::size_t cols) {
  std::vector<Gauss> models;
  for (std::size_t c = 0; c < cols; ++c) models.push_back(Gauss{static_cast<double>(c), 1.0});
  return models;
}

// The words the two streams hand out next are the same: they stand at the
// same place.
bool same_place(RandomStream a, RandomStream b) {
  for (int i = 0; i < 200; ++i) {
    if (a.draw_u32() != b.draw_u32()) return false;
  }
  return true;
}

TEST(pass_plan_test, full_passes_take_every_column_and_the_last_takes_the_rest) {
  RandomStream stream = RandomStream::seed_from_u64(5);
  const PassPlan plan = plan_passes(stream, spread_models(4), 10);
  ASSERT_EQ(plan.pass_starts, (std::vector<std::size_t>{0, 4, 8, 10}));
  EXPECT_FALSE(plan.ends_with_nan);
  for (std::size_t p = 0; p < plan.passes(); ++p) {
    const std::set<std::uint32_t> chosen(plan.columns.begin() + plan.pass_starts[p],
                                         plan.columns.begin() + plan.pass_starts[p + 1]);
    EXPECT_EQ(chosen.size(), plan.pass_starts[p + 1] - plan.pass_starts[p]) << "pass " << p;
    for (const std::uint32_t column : chosen) EXPECT_LT(column, 4U);
  }
}

// Drawing the passes one call at a time, each for the blanks still to go,
// gives the same plan and leaves the stream at the same place: what a failed
// dump relies on to put the stream after the failing pass.
TEST(pass_plan_test, planning_pass_by_pass_draws_the_same) {
  const std::vector<Gauss> models = spread_models(5);
  RandomStream whole_stream = RandomStream::seed_from_u64(9);
  const PassPlan whole = plan_passes(whole_stream, models, 23);

  RandomStream step_stream = RandomStream::seed_from_u64(9);
  std::vector<std::uint32_t> columns;
  std::vector<double> thresholds;
  std::uint64_t left = 23;
  while (left > 0) {
    const PassPlan one = plan_passes(step_stream, models, left, 1);
    ASSERT_EQ(one.passes(), 1U);
    columns.insert(columns.end(), one.columns.begin(), one.columns.end());
    thresholds.insert(thresholds.end(), one.thresholds.begin(), one.thresholds.end());
    left -= one.columns.size();
  }
  EXPECT_EQ(columns, whole.columns);
  EXPECT_EQ(thresholds, whole.thresholds);
  EXPECT_TRUE(same_place(whole_stream, step_stream));
}

TEST(pass_plan_test, no_passes_draw_nothing) {
  RandomStream stream = RandomStream::seed_from_u64(3);
  const RandomStream before = stream;
  EXPECT_EQ(plan_passes(stream, spread_models(3), 0).passes(), 0U);
  EXPECT_EQ(plan_passes(stream, spread_models(3), 9, 0).passes(), 0U);
  EXPECT_TRUE(same_place(stream, before));
}

// A NaN threshold ends the plan before its pass, but only after the whole
// pass has been drawn.
TEST(pass_plan_test, a_nan_threshold_ends_the_plan_after_drawing_its_pass) {
  std::vector<Gauss> models = spread_models(3);
  models[1].std_dev = std::numeric_limits<double>::quiet_NaN();
  RandomStream stream = RandomStream::seed_from_u64(1);
  const PassPlan plan = plan_passes(stream, models, 30);
  EXPECT_TRUE(plan.ends_with_nan);
  EXPECT_EQ(plan.passes(), 0U);  // every full pass picks column 1
  EXPECT_TRUE(plan.columns.empty() && plan.thresholds.empty());

  RandomStream drawn = RandomStream::seed_from_u64(1);
  for (const Gauss& model : models) EXPECT_EQ(std::isnan(model.sample(drawn)), &model == &models[1]);
  EXPECT_TRUE(same_place(stream, drawn));
}

}  // namespace
}  // namespace gapwright
