#include "generators/mnar/column_keys.h"

#include "generators/mnar/column_blanker.h"
#include "generators/mnar/total_order.h"

#include <bit>        // std::bit_cast

namespace gapwright {

void copy_value_keys(const double* matrix, std::size_t rows, std::size_t cols, std::size_t first,
                     std::size_t size, std::uint64_t* keys) noexcept {
  for (std::size_t r = 0; r < rows; ++r) {
    const double* row = matrix + r * cols + first;
    for (std::size_t g = 0; g < size; ++g) keys[g * rows + r] = total_order_ukey(row[g]);
  }
}

KeyBounds bounds_of(const std::uint64_t* keys, std::size_t n) noexcept {
  std::uint64_t lowest = keys[0];
  std::uint64_t highest = keys[0];
  for (std::size_t i = 1; i < n; ++i) {
    lowest = keys[i] < lowest ? keys[i] : lowest;
    highest = keys[i] > highest ? keys[i] : highest;
  }
  return KeyBounds{lowest, highest};
}

void to_distance_keys(std::uint64_t* keys, std::size_t n, double centre) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const double difference = from_total_order_ukey(keys[i]) - centre;
    keys[i] = std::bit_cast<std::uint64_t>(difference * difference);
  }
}

void blank_nearer(double* matrix, std::size_t rows, std::size_t cols, std::size_t first,
                  std::size_t size, const double* centres, const double* limits) noexcept {
  for (std::size_t r = 0; r < rows; ++r) {
    double* row = matrix + r * cols + first;
    for (std::size_t g = 0; g < size; ++g) {
      const double difference = row[g] - centres[g];
      row[g] = difference * difference < limits[g] ? kBlank : row[g];
    }
  }
}

}  // namespace gapwright
