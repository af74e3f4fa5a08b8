// BorrowFlag: refuses overlapping use of one instance.
//
// One atomic word. Its low 32 bits are 0 when free, all ones when held
// exclusively by a running call, n > 0 when held shared by n representations;
// its high 32 bits stamp the hold with the fork generation of the process
// that took it. Takes and releases are atomic, so the flag needs no
// interpreter lock.
//
// fork() copies the word into the child as the parent's threads left it, but
// none of those threads: a hold from an earlier generation is free in the
// child, unless it is the exclusive hold of the thread that forked, whose
// call goes on there.
#pragma once

#include <pthread.h>  // pthread_self

#include <atomic>   // std::atomic
#include <cstdint>  // std::uint32_t, std::uint64_t, std::uintptr_t

namespace gapwright {

// Counts the fork() calls between the first process and this one; and the
// thread that made the last of them, the one thread of the parent that lives
// on in this process (0 before any fork).
std::uint32_t fork_generation() noexcept;
std::uintptr_t forking_thread() noexcept;

class BorrowFlag {
 public:
  bool try_take_exclusive() noexcept {
    const std::uint64_t mine = stamp();
    std::uint64_t current = state_.load();
    do {
      if (held(current, mine)) return false;
    } while (!state_.compare_exchange_weak(current, mine | kExclusive));
    holder_.store(this_thread());
    return true;
  }
  void release_exclusive() noexcept {
    holder_.store(0);
    state_.store(stamp());
  }

  bool try_take_shared() noexcept {
    const std::uint64_t mine = stamp();
    std::uint64_t current = state_.load();
    std::uint64_t next = 0;
    do {
      const std::uint64_t readers = held(current, mine) ? current & kExclusive : 0;
      if (readers == kExclusive || readers + 1 == kExclusive) return false;
      next = mine | (readers + 1);
    } while (!state_.compare_exchange_weak(current, next));
    return true;
  }
  // A shared hold is released in the process that took it, by the thread
  // that took it: the word is stamped with this generation and counts it.
  void release_shared() noexcept { state_.fetch_sub(1); }

 private:
  static constexpr std::uint64_t kExclusive = 0xFFFF'FFFF;

  static std::uint64_t stamp() noexcept { return std::uint64_t{fork_generation()} << 32; }
  static std::uintptr_t this_thread() noexcept {
    return static_cast<std::uintptr_t>(pthread_self());
  }

  // Whether `current` is held by a thread of this process.
  bool held(std::uint64_t current, std::uint64_t mine) const noexcept {
    const std::uint64_t holds = current & kExclusive;
    if (holds == 0) return false;
    if ((current & ~kExclusive) == mine) return true;
    // Inherited: only the forking thread's own call can still be running.
    return holds == kExclusive && holder_.load() == forking_thread() && forking_thread() != 0;
  }

  std::atomic<std::uint64_t> state_{0};
  // The thread holding the flag exclusively, 0 when none does.
  std::atomic<std::uintptr_t> holder_{0};
};

}  // namespace gapwright
