// PassPlan: every random decision of a masking call, drawn up front.
//
// Which columns a pass selects and which thresholds it draws never depend on
// what earlier passes blanked, so the whole sequence can be drawn on the
// calling thread before any search runs. The draws are made in exactly the
// order the passes would make them: the reservoir draws of a pass, then its
// thresholds in selection order.
#pragma once

#include "runtime/gauss.h"
#include "runtime/random_stream.h"

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint32_t, std::uint64_t, SIZE_MAX
#include <vector>   // std::vector

namespace gapwright {

struct PassPlan {
  // Pass p selected columns[pass_starts[p] .. pass_starts[p + 1]) with the
  // matching thresholds, in selection order. Only complete passes are listed.
  std::vector<std::size_t> pass_starts{0};
  std::vector<std::uint32_t> columns;
  std::vector<double> thresholds;
  // The pass after the listed ones drew a NaN threshold: the call must fail
  // with "Sample is nan" once the listed passes have been carried out.
  bool ends_with_nan = false;

  std::size_t passes() const noexcept { return pass_starts.size() - 1; }
};

// Draws the passes that blank `blanks` cells of a table with models.size()
// columns (at least one, fewer than 2^32), or only the first `max_passes`.
PassPlan plan_passes(RandomStream& stream, const std::vector<Gauss>& models,
                     std::uint64_t blanks, std::size_t max_passes = SIZE_MAX);

}  // namespace gapwright
