// Gauss: a normal model with a centre and a spread, sampled by the cosine
// branch of the Box-Muller transform from a caller's RandomStream.
#pragma once

#include "runtime/random_stream.h"

namespace gapwright {

struct Gauss {
  double mean = 0.0;
  // Multiplies the standard normal deviate as it is: nothing squares it.
  double std_dev = 0.0;

  // ((cos(2*pi*u2) * sqrt(-2 ln u1)) * std_dev) + mean. Never fails; may
  // return NaN or an infinity when mean or std_dev is not finite.
  double sample(RandomStream& stream) const;
};

}  // namespace gapwright
