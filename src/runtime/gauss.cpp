#include "runtime/gauss.h"

#include <cmath>  // std::sqrt, std::log, std::cos

namespace gapwright {

double Gauss::sample(RandomStream& stream) const {
  // On the draw_f64 grid only 0 lies below this bound; it would make log
  // return -inf.
  double u1 = stream.draw_f64();
  while (u1 < 1e-17) u1 = stream.draw_f64();
  const double u2 = stream.draw_f64();
  const double radius = std::sqrt(std::log(u1) * -2.0);
  const double c = std::cos(u2 * 6.283185307179586);
  return ((c * radius) * std_dev) + mean;
}

}  // namespace gapwright
