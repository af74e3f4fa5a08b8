#include "runtime/pool_copy.h"

#include "runtime/cpu_budget.h"
#include "runtime/transpose.h"

#include <algorithm>  // std::max, std::min
#include <cstdint>    // std::uintptr_t
#include <cstring>    // std::memcpy
#include <memory>     // std::make_unique

namespace gapwright {
namespace {

// Below this a part costs about as much to hand to a worker as to copy.
constexpr std::size_t kBytesPerPart = std::size_t{2} << 20;
// Copies end their parts on page boundaries of the target, so that no page
// faults in for two threads.
constexpr std::size_t kPage = 4096;
// Parts of a transpose split the longer side in whole steps of this many
// cells, so that two threads meet at no more than the edges of their steps.
constexpr std::size_t kStep = 32;

std::size_t parts_for(const ThreadPool& pool, std::size_t bytes) {
  const std::size_t parts = std::min(pool.size(), bytes / kBytesPerPart);
  // Reading the affinity is a system call: small copies do without it.
  return parts > 1 ? std::min(parts, usable_cpus()) : 1;
}

// Runs part(p, parts) for p in [1, parts) on the pool and part(0, parts) on
// the calling thread, and waits for all of them.
template <typename Part>
void run_in_parts(ThreadPool& pool, std::size_t parts, Part part) {
  class PartJob final : public Job {
   public:
    PartJob(const Part& part, std::size_t index, std::size_t parts)
        : part_(part), index_(index), parts_(parts) {}
    void run() override { part_(index_, parts_); }

   private:
    Part part_;
    std::size_t index_;
    std::size_t parts_;
  };
  JoinOnExit join(pool);
  for (std::size_t p = 1; p < parts; ++p) pool.execute(std::make_unique<PartJob>(part, p, parts));
  part(0, parts);
}

// The start of part `part` of `parts` over `count` items, in whole steps of
// `step` items.
std::size_t part_start(std::size_t count, std::size_t step, std::size_t part, std::size_t parts) {
  const std::size_t steps = (count + step - 1) / step;
  return std::min(count, steps * part / parts * step);
}

}  // namespace

void copy_on_pool(ThreadPool& pool, void* to, const void* from, std::size_t bytes) {
  const std::size_t parts = parts_for(pool, bytes);
  if (parts == 1) {
    if (bytes > 0) std::memcpy(to, from, bytes);
    return;
  }
  auto* const out = static_cast<char*>(to);
  const auto* const in = static_cast<const char*>(from);
  // Parts start on the target's page boundaries, but for the first.
  const std::size_t skew = (kPage - reinterpret_cast<std::uintptr_t>(out) % kPage) % kPage;
  const auto start = [&](std::size_t part, std::size_t parts) {
    if (part == 0) return std::size_t{0};
    if (part == parts) return bytes;
    return std::min(bytes, skew + part_start(bytes - std::min(bytes, skew), kPage, part, parts));
  };
  run_in_parts(pool, parts, [=](std::size_t part, std::size_t parts) {
    const std::size_t begin = start(part, parts);
    std::memcpy(out + begin, in + begin, start(part + 1, parts) - begin);
  });
}

void transpose_on_pool(ThreadPool& pool, double* to, const void* from, std::size_t rows,
                       std::size_t cols) {
  const auto* const in = static_cast<const char*>(from);
  const std::size_t parts = parts_for(pool, rows * cols * sizeof(double));
  const detail::TransposeFn transpose = detail::chosen_transpose();
  // The parts split the longer side.
  run_in_parts(pool, parts, [=](std::size_t part, std::size_t parts) {
    const std::size_t longer = std::max(rows, cols);
    const std::size_t begin = part_start(longer, kStep, part, parts);
    const std::size_t end = part_start(longer, kStep, part + 1, parts);
    transpose(to, in, rows, cols,
              rows >= cols ? detail::Cells{begin, end, 0, cols}
                           : detail::Cells{0, rows, begin, end});
  });
}

void split_rows_on_pool(ThreadPool& pool, std::size_t rows, std::size_t bytes,
                        const std::function<void(std::size_t, std::size_t)>& part) {
  const std::size_t parts = parts_for(pool, bytes);
  run_in_parts(pool, parts, [&part, rows](std::size_t index, std::size_t parts) {
    part(part_start(rows, kStep, index, parts), part_start(rows, kStep, index + 1, parts));
  });
}

}  // namespace gapwright
