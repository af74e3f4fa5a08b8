#include "runtime/cpu_budget.h"

#include <sched.h>  // sched_getaffinity, CPU_ALLOC, CPU_COUNT_S

#include <algorithm>  // std::min
#include <cerrno>     // errno, EINVAL
#include <charconv>   // std::from_chars
#include <cstdint>    // std::uint64_t
#include <fstream>    // std::ifstream
#include <iterator>   // std::istreambuf_iterator
#include <thread>     // std::thread::hardware_concurrency

namespace gapwright {
namespace {

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The CPUs in the affinity mask. The mask is sized for the processors the
// machine reports and doubled while the kernel's is larger.
std::size_t affinity_cpus() noexcept {
  for (std::size_t cpus = std::max(1024U, std::thread::hardware_concurrency());
       cpus <= (std::size_t{1} << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int status = sched_getaffinity(0, bytes, set);
    const auto count = static_cast<std::size_t>(status == 0 ? CPU_COUNT_S(bytes, set) : 0);
    CPU_FREE(set);
    if (status == 0) return std::max<std::size_t>(count, 1);
    if (errno != EINVAL) break;
  }
  return std::max(1U, std::thread::hardware_concurrency());
}

std::optional<std::size_t> process_cpu_quota() {
  const std::optional<std::string> membership = read_file("/proc/self/cgroup");
  if (!membership) return std::nullopt;
  const std::optional<std::string> path = detail::unified_cgroup_path(*membership);
  if (!path) return std::nullopt;
  return detail::cgroup_cpu_limit("/sys/fs/cgroup", *path);
}

}  // namespace

namespace detail {

std::optional<std::size_t> cpu_max_limit(std::string_view cpu_max) {
  while (!cpu_max.empty() && (cpu_max.back() == '\n' || cpu_max.back() == ' ')) {
    cpu_max.remove_suffix(1);
  }
  const std::size_t space = cpu_max.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::optional<std::uint64_t> quota = parse_u64(cpu_max.substr(0, space));
  const std::optional<std::uint64_t> period = parse_u64(cpu_max.substr(space + 1));
  if (!quota || !period || *period == 0) return std::nullopt;
  const std::uint64_t cpus = *quota / *period + (*quota % *period != 0 ? 1 : 0);
  return static_cast<std::size_t>(std::max<std::uint64_t>(cpus, 1));
}

std::optional<std::string> unified_cgroup_path(std::string_view proc_self_cgroup) {
  while (!proc_self_cgroup.empty()) {
    const std::size_t end = proc_self_cgroup.find('\n');
    const std::string_view line = proc_self_cgroup.substr(0, end);
    if (line.starts_with("0::/")) return std::string(line.substr(3));
    if (end == std::string_view::npos) break;
    proc_self_cgroup.remove_prefix(end + 1);
  }
  return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root, std::string_view path) {
  std::optional<std::size_t> limit;
  while (true) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::string group = path == "/" ? std::string() : std::string(path);
    if (const std::optional<std::string> text = read_file(root + group + "/cpu.max")) {
      if (const std::optional<std::size_t> cpus = cpu_max_limit(*text)) {
        limit = limit ? std::min(*limit, *cpus) : *cpus;
      }
    }
    if (group.empty()) return limit;
    path = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
  }
}

}  // namespace detail

std::size_t usable_cpus() noexcept {
  // A quota set after the first call is not seen: it is read once, off the
  // hot path of small calls.
  static const std::optional<std::size_t> quota = [] {
    try {
      return process_cpu_quota();
    } catch (...) {
      return std::optional<std::size_t>{};
    }
  }();
  const std::size_t cpus = affinity_cpus();
  return quota ? std::min(cpus, *quota) : cpus;
}

}  // namespace gapwright
