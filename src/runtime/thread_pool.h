// ThreadPool: a fixed set of worker threads taking one-shot jobs from an
// unbounded FIFO queue.
//
// `execute` never blocks. `join` returns once nothing is queued or running;
// joiners waiting on the same epoch all leave together. A job that throws is
// reported on standard error, its worker is replaced and the counters and
// joiners stay right, so the pool keeps its size. Workers run on 2 MiB stacks,
// whatever the process's stack limit. Destroying the handle closes
// the queue and returns at once: queued jobs still run on the workers, which
// then exit; nobody waits for them. Workers never touch Python objects.
#pragma once

#include <cstddef>     // std::size_t
#include <memory>      // std::shared_ptr, std::unique_ptr

namespace gapwright {

// A one-shot job with no arguments and no result.
class Job {
 public:
  virtual ~Job() = default;
  virtual void run() = 0;
};

struct ThreadPoolSharedData;

class ThreadPool {
 public:
  // Starts `num_threads` workers; 0 is an internal failure
  // ("assertion failed: num_threads > 0"). A thread the operating system
  // refuses to start throws ThreadStartRefused (the workers already started
  // then exit); so do execute and join in a forked child whose fresh
  // workers cannot start.
  explicit ThreadPool(std::size_t num_threads);
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ThreadPool(ThreadPool&&) noexcept;
  ThreadPool& operator=(ThreadPool&&) noexcept;

  void execute(std::unique_ptr<Job> job);
  void join();
  // Takes back the jobs that no worker has started and destroys them; returns
  // how many. A caller that can do their work itself then need not wait for
  // a worker to wake up, only to find that work done.
  std::size_t withdraw_queued();

  // The number of workers the pool keeps.
  std::size_t size() const noexcept { return num_threads_; }

  // Jobs accepted and not yet taken, and jobs being run. For tests.
  std::size_t queued_count() const noexcept;
  std::size_t active_count() const noexcept;
  // Workers currently alive. For tests.
  std::size_t live_workers() const noexcept;

 private:
  // After fork() the child has none of the workers: the first use there
  // starts a fresh set of num_threads_.
  void restart_after_fork();

  std::shared_ptr<ThreadPoolSharedData> shared_;
  std::size_t num_threads_ = 0;
  int owner_pid_ = 0;
};

// Waits for the pool however the scope is left, for jobs that write into
// memory the scope owns.
class JoinOnExit {
 public:
  explicit JoinOnExit(ThreadPool& pool) noexcept : pool_(pool) {}
  ~JoinOnExit() { pool_.join(); }
  JoinOnExit(const JoinOnExit&) = delete;
  JoinOnExit& operator=(const JoinOnExit&) = delete;

 private:
  ThreadPool& pool_;
};

}  // namespace gapwright
