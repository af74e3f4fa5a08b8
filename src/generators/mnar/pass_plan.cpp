#include "generators/mnar/pass_plan.h"

#include <cmath>  // std::isnan

namespace gapwright {

PassPlan plan_passes(RandomStream& stream, const std::vector<Gauss>& models,
                     std::uint64_t blanks, std::size_t max_passes) {
  const std::uint64_t cols = models.size();
  PassPlan plan;
  plan.columns.reserve(blanks);
  plan.thresholds.reserve(blanks);
  std::uint64_t done = 0;
  while (done < blanks && plan.passes() < max_passes) {
    const std::vector<std::uint64_t> selection = stream.pick_indices(cols, blanks - done);
    // A pass draws all its thresholds before it looks at any of them, so a
    // NaN leaves the stream after the whole pass.
    bool nan = false;
    for (const std::uint64_t column : selection) {
      const double threshold = models[column].sample(stream);
      nan = nan || std::isnan(threshold);
      plan.columns.push_back(static_cast<std::uint32_t>(column));
      plan.thresholds.push_back(threshold);
    }
    if (nan) {
      plan.columns.resize(plan.pass_starts.back());
      plan.thresholds.resize(plan.pass_starts.back());
      plan.ends_with_nan = true;
      return plan;
    }
    plan.pass_starts.push_back(plan.columns.size());
    done += selection.size();
  }
  return plan;
}

}  // namespace gapwright
