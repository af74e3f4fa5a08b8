#include "runtime/wall_clock.h"

#include <cerrno>  // errno, EINVAL
#include <string>  // std::string

#include <gtest/gtest.h>

#include "runtime/internal_error.h"

namespace gapwright {
namespace {

// Fake clocks are plain function pointers, so their reading lives here.
timespec g_reading{};
int g_reads = 0;

int fake_clock(timespec* out) {
  ++g_reads;
  *out = g_reading;
  return 0;
}

int failing_clock(timespec*) {
  ++g_reads;
  errno = EINVAL;
  return -1;
}

void expect_time_failure(std::optional<std::uint64_t> seed, ClockReader clock) {
  try {
    choose_seed(seed, clock);
    FAIL() << "no failure";
  } catch (const InternalError& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Getting time failed", 0), 0U) << error.what();
  }
}

TEST(wall_clock_test, seed_from_the_clock) {
  g_reading = {1, 5};
  EXPECT_EQ(choose_seed(std::nullopt, fake_clock), 1000000005U);
  // 18446744074 s is just past 2^64 ns, so the product wraps.
  g_reading = {18446744074, 7};
  EXPECT_EQ(choose_seed(std::nullopt, fake_clock), 290448391U);
  g_reading = {0, 0};
  EXPECT_EQ(choose_seed(std::nullopt, fake_clock), 0U);
}

TEST(wall_clock_test, explicit_seed_still_reads_the_clock) {
  g_reading = {1700000000, 123};
  g_reads = 0;
  EXPECT_EQ(choose_seed(42, fake_clock), 42U);
  EXPECT_EQ(g_reads, 1);
}

TEST(wall_clock_test, bad_readings_fail_only_without_seed) {
  g_reading = {-1, 999999999};
  expect_time_failure(std::nullopt, fake_clock);
  g_reads = 0;
  EXPECT_EQ(choose_seed(42, fake_clock), 42U);
  EXPECT_EQ(g_reads, 1);
  g_reads = 0;
  expect_time_failure(std::nullopt, failing_clock);
  EXPECT_EQ(choose_seed(7, failing_clock), 7U);
  EXPECT_EQ(g_reads, 2);
}

TEST(wall_clock_test, real_clock) {
  timespec before{};
  timespec after{};
  ASSERT_EQ(read_realtime_clock(&before), 0);
  const std::uint64_t seed = choose_seed(std::nullopt);
  ASSERT_EQ(read_realtime_clock(&after), 0);
  const auto nanos = [](const timespec& t) {
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000U + static_cast<std::uint64_t>(t.tv_nsec);
  };
  EXPECT_GT(before.tv_sec, 1500000000);
  EXPECT_LE(nanos(before), seed);
  EXPECT_LE(seed, nanos(after));
}

}  // namespace
}  // namespace gapwright
