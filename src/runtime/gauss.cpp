#include "runtime/gauss.h"

#include <cmath>  // std::sqrt, std::log, std::cos
#include <span>   // std::span

namespace gapwright {

namespace {

// On the draw_f64 grid only 0 lies below this bound; it would make log
// return -inf.
constexpr double kSmallestU1 = 1e-17;

}  // namespace

double Gauss::sample(RandomStream& stream) const { return from_deviate(deviate(stream)); }

double Gauss::deviate(RandomStream& stream) {
  double u1;
  double u2;
  // Most deviates read their four words straight from the buffer; one whose
  // first pair is drawn again, or that runs past the buffer, draws them one
  // by one.
  const std::span<const std::uint32_t> words = stream.buffered();
  if (words.size() >= 4 &&
      (u1 = RandomStream::f64_of_words(words[0], words[1])) >= kSmallestU1) {
    u2 = RandomStream::f64_of_words(words[2], words[3]);
    stream.advance(4);
  } else {
    u1 = stream.draw_f64();
    while (u1 < kSmallestU1) u1 = stream.draw_f64();
    u2 = stream.draw_f64();
  }
  const double radius = std::sqrt(std::log(u1) * -2.0);
  const double c = std::cos(u2 * 6.283185307179586);
  return c * radius;
}

void Gauss::skip_deviate(RandomStream& stream) {
  while (stream.draw_f64() < kSmallestU1) {
  }
  stream.draw_u64();
}

void Gauss::skip_deviates(RandomStream& stream, std::uint64_t count) {
  while (count > 0) {
    // A deviate reads four words unless its first pair is drawn again; one
    // that is, or that runs past the buffer, is read one word at a time.
    const std::span<const std::uint32_t> words = stream.buffered();
    std::size_t at = 0;
    for (; count > 0 && at + 4 <= words.size(); at += 4, --count) {
      if (RandomStream::f64_of_words(words[at], words[at + 1]) < kSmallestU1) break;
    }
    stream.advance(at);
    if (count > 0 && at < words.size()) {
      skip_deviate(stream);
      --count;
    }
  }
}

}  // namespace gapwright
