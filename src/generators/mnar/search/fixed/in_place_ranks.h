// InPlaceRanks: up to two adjacent ranks of each column of a group, by
// (total-order) key, selected where the columns lie in the table.
//
// The keys are never stored: `key_of(row, g)` recomputes the key of column
// g's cell at `row` on every sweep. First each column's keys that lie in a
// bracket drawn from a sample of its rows are kept in one sweep (the
// caller's, through windows()); where they hold the wanted ranks, that sweep
// is all the selection reads of the matrix. A window that fills up leaves
// the column to counting sweeps by the keys' top digits, shared by the
// group, and then to radix selection of its own where its bucket is large.
#pragma once

#include "generators/mnar/kernels/column_keys.h"
#include "generators/mnar/select/key_select.h"
#include "generators/mnar/select/radix_select.h"

#include <algorithm>  // std::max, std::nth_element
#include <array>      // std::array
#include <cstddef>    // std::size_t, std::ptrdiff_t
#include <cstdint>    // std::uint64_t
#include <memory>     // std::unique_ptr, std::make_unique
#include <span>       // std::span
#include <vector>     // std::vector

namespace gapwright::fixed {

class InPlaceRanks {
 public:
  // For a group of `size` columns of `rows` rows.
  InPlaceRanks(std::size_t rows, std::size_t size) : rows_(rows), columns_(size), windows_(size) {}

  // Forgets column g's wanted ranks.
  void clear(std::size_t g) noexcept { columns_[g].wanted = 0; }
  // Asks column g for `rank`, next above the one asked since clear(g), if
  // any: two adjacent ranks at most.
  void want(std::size_t g, std::uint64_t rank) noexcept {
    Column& column = columns_[g];
    column.ranks[column.wanted++] = rank;
  }
  std::size_t wanted(std::size_t g) const noexcept { return columns_[g].wanted; }
  // The i-th rank asked of column g, and what it was answered.
  std::uint64_t asked(std::size_t g, std::size_t i) const noexcept { return columns_[g].ranks[i]; }
  const Rank& answer(std::size_t g, std::size_t i) const noexcept { return columns_[g].found[i]; }

  // Brackets each column's wanted ranks by a sorted sample of its keys.
  template <typename KeyOf>
  void open_windows(KeyOf key_of) {
    std::vector<std::uint64_t> sample(kSampleRows);
    for (std::size_t g = 0; g < columns_.size(); ++g) {
      Column& column = columns_[g];
      if (column.wanted == 0) continue;
      for (std::size_t i = 0; i < kSampleRows; ++i) {
        sample[i] = key_of(sample_row(i, kSampleRows, rows_), g);
      }
      const std::uint64_t last = column.ranks[column.wanted - 1];
      const Bracket bracket =
          bracket_from_sample(sample, rows_, column.ranks[0], last, kSampleMargin);
      // About a twentieth of the column: twice that is room enough.
      const std::size_t room = 2 * (2 * kSampleMargin + 2) * (rows_ / kSampleRows + 1);
      column.kept = std::make_unique_for_overwrite<std::uint64_t[]>(room);
      windows_[g] = RowWindow{true, bracket.low, bracket.high - bracket.low, 0, column.kept.get(),
                              0, room};
    }
  }

  // The windows that a row sweep offers each column's keys to.
  RowWindow* windows() noexcept { return windows_.data(); }

  // After the sweep: answers the columns whose window holds their wanted
  // ranks, and closes every window.
  void answer_from_windows() {
    for (std::size_t g = 0; g < columns_.size(); ++g) {
      // Only columns with wanted ranks have a window opened.
      if (windows_[g].open) answer_from_window(columns_[g], windows_[g]);
      windows_[g] = RowWindow{};
      columns_[g].kept.reset();
    }
  }

  // The columns that no window answered, by counting passes.
  template <typename KeyOf>
  void select_unanswered(KeyOf key_of) {
    bool any = false;
    for (Column& column : columns_) {
      if (column.wanted == 0) continue;
      if (!column.counts) column.counts = std::make_unique<DigitCounts>();
      if (!column.scratch) column.scratch = std::make_unique<DigitCounts>();
      column.counts->fill(0);
      any = true;
    }
    if (!any) return;
    for (std::size_t r = 0; r < rows_; ++r) {
      for (std::size_t g = 0; g < columns_.size(); ++g) {
        if (columns_[g].wanted > 0) ++(*columns_[g].counts)[top_digit(key_of(r, g))];
      }
    }
    select(key_of);
  }

 private:
  struct Column {
    std::unique_ptr<DigitCounts> counts;
    std::unique_ptr<DigitCounts> scratch;
    // Up to two adjacent ranks asked of the column's keys, and their
    // answers; none once they are answered.
    std::size_t wanted = 0;
    std::array<std::uint64_t, 2> ranks{};
    std::array<Rank, 2> found{};
    // Where its window keeps keys.
    std::unique_ptr<std::uint64_t[]> kept;
  };

  // Where a column's wanted ranks lie among its top digits, and the keys of
  // the buckets that hold them.
  struct BucketPlan {
    std::array<std::size_t, 2> digit{};
    std::array<std::uint64_t, 2> base{};
    std::array<std::vector<std::uint64_t>, 2> bucket;
    bool own_passes = false;
  };

  // Rows a column's sample takes, and how far past the wanted ranks' place
  // in the sorted sample its bracket reaches: about three standard
  // deviations of that place at the median, so that a sample seldom misleads.
  static constexpr std::size_t kSampleRows = 4096;
  static constexpr std::size_t kSampleMargin = 96;

  void answer_from_window(Column& column, const RowWindow& window) {
    const std::uint64_t first = column.ranks[0];
    const std::uint64_t last = column.ranks[column.wanted - 1];
    if (first < window.below || last >= window.below + window.count) return;
    const AdjacentRanks found = select_adjacent(std::span(window.kept, window.count),
                                                first - window.below, column.wanted == 2,
                                                narrowed_);
    column.found[0] = Rank{found.at.key, window.below + found.at.below};
    column.found[1] = Rank{found.next.key, window.below + found.next.below};
    column.wanted = 0;
  }

  // Answers every column's wanted ranks from its counts: one sweep collects
  // the buckets that hold them; a column whose bucket is too large for that
  // narrows by passes of its own.
  template <typename KeyOf>
  void select(KeyOf key_of) {
    std::vector<BucketPlan> plans(columns_.size());
    bool sweep = false;
    for (std::size_t g = 0; g < columns_.size(); ++g) {
      plans[g] = plan_buckets(columns_[g]);
      sweep = sweep || (columns_[g].wanted > 0 && !plans[g].own_passes);
    }
    if (sweep) collect_buckets(key_of, plans);
    for (std::size_t g = 0; g < columns_.size(); ++g) {
      Column& column = columns_[g];
      if (plans[g].own_passes) {
        const auto key_of_row = [&key_of, g](std::size_t row) { return key_of(row, g); };
        RadixSelect own(key_of_row, rows_, *column.counts, *column.scratch);
        for (std::size_t i = 0; i < column.wanted; ++i) column.found[i] = own.at(column.ranks[i]);
      } else {
        answer_from_buckets(column, plans[g]);
      }
    }
  }

  BucketPlan plan_buckets(const Column& column) const {
    const std::size_t limit = std::max<std::size_t>(kDigits, rows_ / 32);
    BucketPlan plan;
    for (std::size_t i = 0; i < column.wanted; ++i) {
      std::size_t digit = 0;
      std::uint64_t base = 0;
      while (column.ranks[i] >= base + (*column.counts)[digit]) base += (*column.counts)[digit++];
      plan.digit[i] = digit;
      plan.base[i] = base;
      plan.own_passes = plan.own_passes || (*column.counts)[digit] > limit;
    }
    return plan;
  }

  template <typename KeyOf>
  void collect_buckets(KeyOf key_of, std::vector<BucketPlan>& plans) const {
    for (std::size_t r = 0; r < rows_; ++r) {
      for (std::size_t g = 0; g < columns_.size(); ++g) {
        BucketPlan& plan = plans[g];
        const std::size_t wanted = columns_[g].wanted;
        if (wanted == 0 || plan.own_passes) continue;
        const std::uint64_t key = key_of(r, g);
        const std::size_t digit = top_digit(key);
        if (digit == plan.digit[0]) {
          plan.bucket[0].push_back(key);
        } else if (wanted == 2 && digit == plan.digit[1]) {
          plan.bucket[1].push_back(key);
        }
      }
    }
  }

  static void answer_from_buckets(Column& column, BucketPlan& plan) {
    for (std::size_t i = 0; i < column.wanted; ++i) {
      std::vector<std::uint64_t>& bucket = plan.bucket[plan.digit[i] == plan.digit[0] ? 0 : 1];
      const auto nth = bucket.begin() + static_cast<std::ptrdiff_t>(column.ranks[i] - plan.base[i]);
      std::nth_element(bucket.begin(), nth, bucket.end());
      std::uint64_t smaller = 0;
      for (auto it = bucket.begin(); it != nth; ++it) smaller += *it < *nth ? 1 : 0;
      column.found[i] = Rank{*nth, plan.base[i] + smaller};
    }
  }

  std::size_t rows_;
  std::vector<Column> columns_;
  std::vector<RowWindow> windows_;
  ReusedBuffer<std::uint64_t> narrowed_;
};

}  // namespace gapwright::fixed
