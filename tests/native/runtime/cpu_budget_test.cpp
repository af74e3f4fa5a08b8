#include "runtime/cpu_budget.h"

#include <gtest/gtest.h>
#include <sched.h>   // sched_getaffinity, sched_setaffinity, CPU_SET
#include <unistd.h>  // getpid

#include <filesystem>  // std::filesystem
#include <fstream>     // std::ofstream
#include <string>

namespace gapwright {
namespace {

TEST(cpu_budget_test, cpu_max_rounds_a_quota_up_and_ignores_no_quota) {
  EXPECT_EQ(detail::cpu_max_limit("200000 100000\n"), 2U);
  EXPECT_EQ(detail::cpu_max_limit("150000 100000"), 2U);
  EXPECT_EQ(detail::cpu_max_limit("1000 100000\n"), 1U);
  EXPECT_EQ(detail::cpu_max_limit("max 100000\n"), std::nullopt);
  EXPECT_EQ(detail::cpu_max_limit("100000 0"), std::nullopt);
  EXPECT_EQ(detail::cpu_max_limit(""), std::nullopt);
  EXPECT_EQ(detail::cpu_max_limit("12x 100000"), std::nullopt);
}

TEST(cpu_budget_test, the_unified_line_names_the_group) {
  EXPECT_EQ(detail::unified_cgroup_path("0::/user.slice/session-2.scope\n"),
            "/user.slice/session-2.scope");
  EXPECT_EQ(detail::unified_cgroup_path("4:memory:/x\n1:cpu:/\n0::/\n"), "/");
  EXPECT_EQ(detail::unified_cgroup_path("4:memory:/x\n1:cpu:/\n"), std::nullopt);
}

TEST(cpu_budget_test, the_tightest_quota_on_the_way_to_the_root_wins) {
  const std::filesystem::path root =
      std::filesystem::temp_directory_path() / ("cpu_budget_test_" + std::to_string(getpid()));
  std::filesystem::create_directories(root / "outer" / "inner" / "leaf");
  const auto write = [](const std::filesystem::path& file, const char* text) {
    std::ofstream(file) << text;
  };
  write(root / "cpu.max", "max 100000\n");
  write(root / "outer" / "cpu.max", "300000 100000\n");
  write(root / "outer" / "inner" / "cpu.max", "max 100000\n");
  EXPECT_EQ(detail::cgroup_cpu_limit(root.string(), "/outer/inner/leaf"), 3U);
  write(root / "outer" / "inner" / "leaf" / "cpu.max", "50000 100000\n");
  EXPECT_EQ(detail::cgroup_cpu_limit(root.string(), "/outer/inner/leaf"), 1U);
  EXPECT_EQ(detail::cgroup_cpu_limit(root.string(), "/"), std::nullopt);
  std::filesystem::remove_all(root);
}

TEST(cpu_budget_test, a_thread_pinned_to_one_cpu_may_use_one) {
  cpu_set_t before;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  int first = 0;
  while (!CPU_ISSET(first, &before)) ++first;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(first, &one);
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(usable_cpus(), 1U);
  ASSERT_EQ(sched_setaffinity(0, sizeof before, &before), 0);
  EXPECT_GE(usable_cpus(), 1U);
  EXPECT_LE(usable_cpus(), static_cast<std::size_t>(CPU_COUNT(&before)));
}

}  // namespace
}  // namespace gapwright
