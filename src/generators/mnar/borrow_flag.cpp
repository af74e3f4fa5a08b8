#include "generators/mnar/borrow_flag.h"

namespace gapwright {
namespace {

std::atomic<std::uint32_t> generation{0};
std::atomic<std::uintptr_t> forker{0};

// Runs in the child, on the thread that called fork(), before anything else.
void on_fork_child() noexcept {
  generation.fetch_add(1);
  forker.store(static_cast<std::uintptr_t>(pthread_self()));
}

// Registered when the module loads, before any instance exists.
[[maybe_unused]] const int registered = pthread_atfork(nullptr, nullptr, on_fork_child);

}  // namespace

std::uint32_t fork_generation() noexcept { return generation.load(std::memory_order_relaxed); }

std::uintptr_t forking_thread() noexcept { return forker.load(std::memory_order_relaxed); }

}  // namespace gapwright
