#include "generators/mnar/pass_plan.h"

#include "runtime/gauss.h"

#include <algorithm>  // std::min

namespace gapwright {

PassPlan plan_passes(RandomStream& stream, std::size_t cols, std::uint64_t blanks,
                     bool keep_deviates, std::size_t max_passes) {
  PassPlan plan;
  plan.cols = cols;
  const std::uint64_t full = blanks / cols;
  const std::uint64_t rest = blanks % cols;
  plan.full_passes = static_cast<std::size_t>(std::min<std::uint64_t>(full, max_passes));
  const bool partial = rest > 0 && plan.full_passes == full && full < max_passes;
  if (keep_deviates) plan.deviates.resize(cols * plan.stride());

  // Full passes need no reservoir draw; their deviates go column by column.
  for (std::size_t pass = 0; pass < plan.full_passes; ++pass) {
    if (keep_deviates) {
      for (std::size_t c = 0; c < cols; ++c) {
        plan.deviates[c * plan.stride() + pass] = Gauss::deviate(stream);
      }
    } else {
      for (std::size_t c = 0; c < cols; ++c) Gauss::skip_deviate(stream);
    }
  }
  if (partial) {
    for (const std::uint64_t column : stream.pick_indices(cols, rest)) {
      plan.last.push_back(static_cast<std::uint32_t>(column));
      if (keep_deviates) {
        plan.deviates[column * plan.stride() + plan.full_passes] = Gauss::deviate(stream);
      } else {
        Gauss::skip_deviate(stream);
      }
    }
  }
  return plan;
}

}  // namespace gapwright
