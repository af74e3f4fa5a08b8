// Column models: each column's Gauss, centred on a quantile of the column
// under the total order and spread by its range times `variance`.
#pragma once

#include "runtime/gauss.h"

#include <cstddef>  // std::size_t

namespace gapwright {

// The model of one column from its n values sorted ascending by the total
// order (n >= 1). The quantile position floor(n * mean) saturates into
// [0, 2^64-1] and is clamped into the column: past the end the centre is the
// column's largest value (for even n averaged with itself).
Gauss column_model(const double* sorted, std::size_t n, double mean, double variance);

// The same model from the column's n values in any order, in O(n); reorders
// `values`.
Gauss column_model_unsorted(double* values, std::size_t n, double mean, double variance);

}  // namespace gapwright
