// The plan stage: takes the instance's stream and the blank count and gives
// every pass's selection and deviates (this file); takes a column's order
// statistics and gives its Gauss (column_models.h).
//
// PassPlan: every random decision of a masking call, drawn up front.
//
// Which columns a pass selects and which deviates it draws never depend on
// what earlier passes blanked, nor on the column models: a threshold is the
// column's model applied to a standard deviate, and a deviate always reads
// the same words whatever the model. So the whole sequence can be drawn on
// the calling thread before, or while, the columns are searched. The draws
// are made in exactly the order the passes would make them: the reservoir
// draws of a pass, then one deviate per selected column in selection order.
//
// Every pass but the last selects every column, so column c's i-th threshold
// always belongs to pass i.
#pragma once

#include "runtime/random_stream.h"
#include "runtime/thread_pool.h"

#include <cstddef>  // std::size_t
#include <cstdint>  // std::uint8_t, std::uint32_t, std::uint64_t, SIZE_MAX
#include <vector>   // std::vector

namespace gapwright {

struct PassPlan {
  std::size_t cols = 0;
  // Passes 0 .. full_passes - 1 select every column.
  std::size_t full_passes = 0;
  // The selection of the partial pass after them, in reservoir slot order;
  // empty when there is none.
  std::vector<std::uint32_t> last;
  // 1 for each column that the partial pass selects, 0 for the others;
  // empty when there is no partial pass.
  std::vector<std::uint8_t> in_last;
  // With deviates kept: column c's deviate of pass i at deviates[c * stride() + i].
  std::vector<double> deviates;

  std::size_t passes() const noexcept { return full_passes + (last.empty() ? 0 : 1); }
  // The passes that select column c.
  std::size_t passes_of(std::size_t c) const noexcept {
    return full_passes + (in_last.empty() ? 0 : in_last[c]);
  }
  std::size_t stride() const noexcept { return full_passes + 1; }
};

// Draws the passes that blank `blanks` cells of a table with `cols` columns
// (at least one, fewer than 2^32), or only the first `max_passes`. Without
// `keep_deviates` the stream is only advanced past each deviate.
PassPlan plan_passes(RandomStream& stream, std::size_t cols, std::uint64_t blanks,
                     bool keep_deviates, std::size_t max_passes = SIZE_MAX);

// The same plan, with deviates kept, the full passes' deviates drawn by
// `jobs` jobs on `pool` (the caller's thread waits). A deviate reads four
// words unless its first uniform is 0 (once in 2^53 draws), so each job
// starts where the stream would stand if none before it were; a job whose
// deviates read more words than that leaves the rest to be drawn in order.
PassPlan plan_passes_on(ThreadPool& pool, std::size_t jobs, RandomStream& stream,
                        std::size_t cols, std::uint64_t blanks);

}  // namespace gapwright
