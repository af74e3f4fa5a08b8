#include "runtime/gauss.h"

#include <cmath>  // std::sqrt, std::log, std::cos

namespace gapwright {

namespace {

// On the draw_f64 grid only 0 lies below this bound; it would make log
// return -inf.
constexpr double kSmallestU1 = 1e-17;

}  // namespace

double Gauss::sample(RandomStream& stream) const { return from_deviate(deviate(stream)); }

double Gauss::deviate(RandomStream& stream) {
  double u1 = stream.draw_f64();
  while (u1 < kSmallestU1) u1 = stream.draw_f64();
  const double u2 = stream.draw_f64();
  const double radius = std::sqrt(std::log(u1) * -2.0);
  const double c = std::cos(u2 * 6.283185307179586);
  return c * radius;
}

void Gauss::skip_deviate(RandomStream& stream) {
  while (stream.draw_f64() < kSmallestU1) {
  }
  stream.draw_u64();
}

}  // namespace gapwright
