// ThreadPool: a handle on the process's worker threads through which one
// owner runs one-shot jobs, at most `num_threads` of them at a time.
//
// Threads are a resource of the process, not of an instance: a grid of a
// thousand instances must not hold thousands of threads. Every handle feeds
// one process-wide set of detached workers, started on first need and never
// more than the CPUs the process may use (cpu_budget.h); workers serve the
// handles with queued jobs in turn, so two handles used at once from two
// threads both progress. A handle whose jobs never reach a worker (one job
// at a time, run by its owner) never starts a thread.
//
// `execute` never blocks. `join` returns once none of this handle's jobs is
// queued or running. A job that throws is reported on standard error and its
// worker goes on with the next job. Workers run on 2 MiB stacks, whatever the
// process's stack limit, and stay for the life of the process, idle between
// jobs. Destroying a handle returns at once: its queued jobs still run;
// nobody waits for them. Workers never touch Python objects.
#pragma once

#include <cstddef>  // std::size_t
#include <memory>   // std::shared_ptr, std::unique_ptr

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
  // A handle running at most `num_threads` jobs at once; 0 is an internal
  // failure ("assertion failed: num_threads > 0"). Starts no thread.
  explicit ThreadPool(std::size_t num_threads);
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ThreadPool(ThreadPool&&) noexcept;
  ThreadPool& operator=(ThreadPool&&) noexcept;

  // Queues the job. When no worker is idle and the process has fewer than
  // its CPUs, starts one; if the system refuses and no worker is alive to
  // take the job, throws ThreadStartRefused with the job not queued. In a
  // forked child, whose copy of the workers does not exist, the first use
  // starts afresh.
  void execute(std::unique_ptr<Job> job);
  void join();
  // Takes back the jobs that no worker has started and destroys them; returns
  // how many. A caller that can do their work itself then need not wait for
  // a worker to wake up, only to find that work done.
  std::size_t withdraw_queued();

  // How many of this handle's jobs may run at once.
  std::size_t size() const noexcept { return num_threads_; }

  // This handle's jobs accepted and not yet taken, and being run. For tests.
  std::size_t queued_count() const noexcept;
  std::size_t active_count() const noexcept;
  // The process's workers alive now, for every handle. For tests.
  static std::size_t live_workers() noexcept;

 private:
  // The handle's data as bound to this process's workers: after fork() the
  // child drops the parent's copy and binds anew.
  ThreadPoolSharedData& data();

  std::shared_ptr<ThreadPoolSharedData> shared_;
  std::size_t num_threads_ = 0;
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
