#include "generators/mnar/plan/pass_plan.h"

#include "runtime/gauss.h"

#include <algorithm>  // std::min
#include <memory>     // std::make_unique
#include <vector>     // std::vector

namespace gapwright {
namespace {

constexpr std::uint64_t kWordsPerDeviate = 4;

// Draws the deviates of samples [first, last) of the full passes, sample s
// being pass s / cols, column s % cols, into the plan.
void draw_full(RandomStream& stream, PassPlan& plan, std::uint64_t first, std::uint64_t last) {
  std::uint64_t pass = first / plan.cols;
  std::uint64_t column = first % plan.cols;
  for (std::uint64_t s = first; s < last; ++s) {
    plan.deviates[column * plan.stride() + pass] = Gauss::deviate(stream);
    if (++column == plan.cols) {
      column = 0;
      ++pass;
    }
  }
}

class DrawJob final : public Job {
 public:
  DrawJob(RandomStream stream, PassPlan& plan, std::uint64_t first, std::uint64_t last,
          std::uint64_t& words)
      : stream_(stream), plan_(plan), first_(first), last_(last), words_(words) {}

  void run() override {
    const std::uint64_t start = stream_.words_drawn();
    draw_full(stream_, plan_, first_, last_);
    words_ = stream_.words_drawn() - start;
  }

 private:
  RandomStream stream_;
  PassPlan& plan_;
  std::uint64_t first_, last_;
  std::uint64_t& words_;
};

void draw_partial(RandomStream& stream, PassPlan& plan, std::uint64_t rest, bool keep_deviates) {
  plan.in_last.assign(plan.cols, 0);
  for (const std::uint64_t column : stream.pick_indices(plan.cols, rest)) {
    plan.last.push_back(static_cast<std::uint32_t>(column));
    plan.in_last[column] = 1;
    if (keep_deviates) {
      plan.deviates[column * plan.stride() + plan.full_passes] = Gauss::deviate(stream);
    } else {
      Gauss::skip_deviate(stream);
    }
  }
}

}  // namespace

PassPlan plan_passes(RandomStream& stream, std::size_t cols, std::uint64_t blanks,
                     bool keep_deviates, std::size_t max_passes) {
  PassPlan plan;
  plan.cols = cols;
  const std::uint64_t full = blanks / cols;
  const std::uint64_t rest = blanks % cols;
  plan.full_passes = static_cast<std::size_t>(std::min<std::uint64_t>(full, max_passes));
  const bool partial = rest > 0 && plan.full_passes == full && full < max_passes;
  if (keep_deviates) plan.deviates.resize(cols * plan.stride());

  // Full passes need no reservoir draw.
  const std::uint64_t samples = static_cast<std::uint64_t>(plan.full_passes) * cols;
  if (keep_deviates) {
    draw_full(stream, plan, 0, samples);
  } else {
    Gauss::skip_deviates(stream, samples);
  }
  if (partial) draw_partial(stream, plan, rest, keep_deviates);
  return plan;
}

PassPlan plan_passes_on(ThreadPool& pool, std::size_t jobs, RandomStream& stream,
                        std::size_t cols, std::uint64_t blanks) {
  PassPlan plan;
  plan.cols = cols;
  plan.full_passes = static_cast<std::size_t>(blanks / cols);
  plan.deviates.resize(cols * plan.stride());
  const std::uint64_t samples = static_cast<std::uint64_t>(plan.full_passes) * cols;
  const std::uint64_t start = stream.words_drawn();
  // Chunk j draws samples [bounds[j], bounds[j + 1]).
  std::vector<std::uint64_t> bounds(jobs + 1);
  for (std::size_t j = 0; j <= jobs; ++j) bounds[j] = samples * j / jobs;
  std::vector<std::uint64_t> words(jobs, 0);
  const auto chunk = [&](std::size_t j) {
    RandomStream from = stream;
    from.seek(start + bounds[j] * kWordsPerDeviate);
    return std::make_unique<DrawJob>(from, plan, bounds[j], bounds[j + 1], words[j]);
  };
  {
    // The calling thread draws the last chunk itself; a chunk that no
    // worker has started by then is withdrawn and drawn in order below.
    JoinOnExit join(pool);
    for (std::size_t j = 0; j + 1 < jobs; ++j) pool.execute(chunk(j));
    chunk(jobs - 1)->run();
    pool.withdraw_queued();
  }
  // Chunks are right up to the first that read more than four words a
  // deviate (or did not run); from its end on, draw in order.
  std::uint64_t position = start;
  std::size_t j = 0;
  for (; j < jobs && words[j] == (bounds[j + 1] - bounds[j]) * kWordsPerDeviate; ++j) {
    position += words[j];
  }
  stream.seek(position);
  if (j < jobs) draw_full(stream, plan, bounds[j], samples);
  const std::uint64_t rest = blanks % cols;
  if (rest > 0) draw_partial(stream, plan, rest, true);
  return plan;
}

}  // namespace gapwright
