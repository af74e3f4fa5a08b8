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
  // The same value from the standard deviate that sample() draws:
  // (deviate * std_dev) + mean, with the same rounding steps.
  double from_deviate(double deviate) const noexcept { return (deviate * std_dev) + mean; }

  // cos(2*pi*u2) * sqrt(-2 ln u1): the standard deviate of one sample. It is
  // always finite: u1 is at least 2^-53 and u2 below 1.
  static double deviate(RandomStream& stream);
  // Reads exactly the words that deviate() reads without computing it; with a
  // zero or NaN std_dev the sample is known without its deviate.
  static void skip_deviate(RandomStream& stream);
  // skip_deviate `count` times over, reading whole deviates straight from
  // the stream's buffer.
  static void skip_deviates(RandomStream& stream, std::uint64_t count);
};

}  // namespace gapwright
