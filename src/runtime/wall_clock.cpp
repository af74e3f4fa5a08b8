#include "runtime/wall_clock.h"

#include <cerrno>        // errno
#include <string>        // std::string
#include <system_error>  // std::generic_category

#include "runtime/internal_error.h"

namespace gapwright {

int read_realtime_clock(timespec* out) { return clock_gettime(CLOCK_REALTIME, out); }

std::uint64_t choose_seed(std::optional<std::uint64_t> explicit_seed, ClockReader clock) {
  timespec now{};
  const int status = clock(&now);
  // With a seed given the reading decides nothing, so a broken clock must not
  // fail the construction.
  if (explicit_seed) return *explicit_seed;
  if (status != 0) {
    const int error = errno;
    panic("Getting time failed: " + std::generic_category().message(error));
  }
  if (now.tv_sec < 0) panic("Getting time failed: the clock reads before 1970-01-01");
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace gapwright
