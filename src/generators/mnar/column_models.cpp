#include "generators/mnar/column_models.h"

namespace gapwright {

Gauss column_model(const double* sorted, std::size_t n, double mean, double variance) {
  return column_model_from([sorted](std::uint64_t i) { return sorted[i]; }, n, mean, variance);
}

}  // namespace gapwright
