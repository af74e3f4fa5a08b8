// Every C++ allocation of a masking call may fail: this executable replaces
// the global operator new with one that throws std::bad_alloc at the k-th
// allocation after it is armed, on whatever thread makes it, and drives k
// over every allocation of a call (column indexes, plan, column jobs, passes,
// dumps). Each run must end in an exception, and the instance must mask
// correctly afterwards. Leaks show up when the sanitizer run executes this.
#include "generators/mnar/mnar.h"

#include <gtest/gtest.h>
#include <fcntl.h>   // open, O_WRONLY
#include <unistd.h>  // close

#include <algorithm>  // std::equal
#include <atomic>   // std::atomic
#include <bit>      // std::bit_cast
#include <cstdint>  // std::int64_t, std::uint64_t
#include <cstdlib>  // std::malloc, std::free
#include <new>      // std::bad_alloc
#include <random>   // std::mt19937_64, std::normal_distribution
#include <vector>

namespace {

// -1: disarmed. Otherwise the number of allocations still allowed.
std::atomic<std::int64_t> allowed{-1};

void* allocate(std::size_t size) {
  std::int64_t left = allowed.load(std::memory_order_relaxed);
  while (left >= 0) {
    if (left == 0) throw std::bad_alloc();
    if (allowed.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) break;
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace gapwright {
namespace {

std::vector<double> normal_table(std::size_t rows, std::size_t cols) {
  std::mt19937_64 gen(7);
  std::normal_distribution<double> normal;
  std::vector<double> matrix(rows * cols);
  for (double& cell : matrix) cell = normal(gen);
  return matrix;
}

bool identical(const Matrix& a, const Matrix& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](double x, double y) {
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
  });
}

struct Sweep {
  std::size_t failure_points = 0;
};

// Fails allocation k of drop_cols for k = 0, 1, ... until a call completes
// untouched; after each failure the same instance must mask like a twin.
Sweep sweep(double variance, std::size_t workers) {
  constexpr std::size_t kRows = 300, kCols = 6;
  constexpr std::uint64_t kBlanks = 200;
  const std::vector<double> table = normal_table(kRows, kCols);
  const int sink = ::open("/dev/null", O_WRONLY);
  EXPECT_GE(sink, 0);

  auto masked = [&](MNAR& mnar) {
    Matrix matrix = table;
    mnar.drop_cols(matrix, kRows, kCols, kBlanks, sink);
    return matrix;
  };
  Sweep result;
  for (std::int64_t k = 0;; ++k) {
    MNAR mnar{0.5, variance, 11, RandomStream::seed_from_u64(11), ThreadPool(workers)};
    MNAR twin{0.5, variance, 11, RandomStream::seed_from_u64(11), ThreadPool(workers)};
    Matrix matrix = table;
    bool failed = false;
    allowed.store(k);
    try {
      mnar.drop_cols(matrix, kRows, kCols, kBlanks, sink);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    allowed.store(-1);
    if (!failed) break;
    ++result.failure_points;
    // A call that failed may have drawn from the stream: the instance must
    // then go on like a twin that made one whole call.
    const Matrix after = masked(mnar);
    const Matrix first = masked(twin);
    const Matrix second = masked(twin);
    EXPECT_TRUE(identical(after, first) || identical(after, second)) << "allocation " << k;
  }
  ::close(sink);
  return result;
}

TEST(allocation_failure_test, every_allocation_of_a_call_at_variance_zero) {
  for (const std::size_t workers : {1U, 3U}) {
    EXPECT_GT(sweep(0.0, workers).failure_points, 10U) << workers << " workers";
  }
}

TEST(allocation_failure_test, every_allocation_of_a_call_with_sorted_indexes) {
  for (const std::size_t workers : {1U, 3U}) {
    EXPECT_GT(sweep(0.3, workers).failure_points, 10U) << workers << " workers";
  }
}

}  // namespace
}  // namespace gapwright
