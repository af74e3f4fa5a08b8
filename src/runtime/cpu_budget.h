// How many CPUs a masking call may keep busy at once.
//
// The processor count alone overstates it: a process pinned by taskset or a
// cpuset, or a container with a CPU quota, gets only part of the machine,
// and grids run one process per core. Workers beyond what the process may
// use only take turns with each other.
#pragma once

#include <cstddef>      // std::size_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view

namespace gapwright {

// The CPUs in the calling thread's affinity mask, capped by the cgroup v2
// CPU quota of the process's group and its ancestors, rounded up; at least 1.
// The affinity is read on every call, the quota once per process.
std::size_t usable_cpus() noexcept;

namespace detail {

// The CPUs that a cgroup v2 "cpu.max" file allows ("150000 100000" gives 2,
// rounded up); nothing for "max" (no quota) or text that does not parse.
std::optional<std::size_t> cpu_max_limit(std::string_view cpu_max);

// The process's cgroup v2 path ("/a/b") from the text of /proc/self/cgroup,
// whose unified line reads "0::/a/b"; nothing without one.
std::optional<std::string> unified_cgroup_path(std::string_view proc_self_cgroup);

// The smallest limit of the group at `path` and its ancestors, each read
// from <root><group>/cpu.max; nothing when none sets one.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root, std::string_view path);

}  // namespace detail

}  // namespace gapwright
