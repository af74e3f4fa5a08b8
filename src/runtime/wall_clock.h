// The constructor's clock reading and the choice of seed.
#pragma once

#include <time.h>  // timespec

#include <cstdint>   // std::uint64_t
#include <optional>  // std::optional

namespace gapwright {

// Reads the real-time clock; returns 0 on success, like clock_gettime.
using ClockReader = int (*)(timespec*);
int read_realtime_clock(timespec* out);

// The seed of a new instance. The clock is read on every construction. With
// an explicit seed that seed is returned and the reading is ignored, even a
// failed one. Without, a failed reading or one before 1970 is an internal
// failure whose message begins "Getting time failed", and otherwise the seed
// is seconds * 1e9 + nanoseconds, wrapping modulo 2^64.
std::uint64_t choose_seed(std::optional<std::uint64_t> explicit_seed,
                          ClockReader clock = read_realtime_clock);

}  // namespace gapwright
