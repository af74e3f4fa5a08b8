#include "runtime/thread_pool.h"

#include <atomic>     // std::atomic
#include <chrono>     // std::chrono::steady_clock
#include <cstdlib>    // std::_Exit
#include <functional> // std::function
#include <mutex>      // std::mutex, std::lock_guard
#include <stdexcept>  // std::runtime_error
#include <thread>     // std::thread, std::this_thread
#include <utility>    // std::move
#include <vector>     // std::vector

#include <gtest/gtest.h>

#include "runtime/cpu_budget.h"
#include "runtime/internal_error.h"

namespace gapwright {
namespace {

class FnJob : public Job {
 public:
  explicit FnJob(std::function<void()> fn) : fn_(std::move(fn)) {}
  void run() override { fn_(); }

 private:
  std::function<void()> fn_;
};

std::unique_ptr<Job> job(std::function<void()> fn) { return std::make_unique<FnJob>(std::move(fn)); }

// Waits for something another thread does, failing instead of hanging.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// A gate that jobs wait at until the test opens it.
struct Gate {
  std::atomic<bool> open{false};
  void pass() const {
    while (!open.load()) std::this_thread::yield();
  }
};

TEST(thread_pool_test, every_job_runs_once_off_the_callers_thread) {
  for (std::size_t size : {1U, 2U, 4U, 8U}) {
    ThreadPool pool(size);
    constexpr int kJobs = 2000;
    // Plain ints: join must make the jobs' writes visible.
    std::vector<int> runs(kJobs, 0);
    std::vector<std::thread::id> ran_on(kJobs);
    for (int i = 0; i < kJobs; ++i) {
      pool.execute(job([&runs, &ran_on, i] {
        ++runs[i];
        ran_on[i] = std::this_thread::get_id();
      }));
    }
    pool.join();
    EXPECT_EQ(pool.queued_count(), 0U);
    EXPECT_EQ(pool.active_count(), 0U);
    for (int i = 0; i < kJobs; ++i) {
      ASSERT_EQ(runs[i], 1) << "job " << i << " with " << size << " workers";
      ASSERT_NE(ran_on[i], std::this_thread::get_id());
    }
  }
  EXPECT_GE(ThreadPool::live_workers(), 1U);
  EXPECT_LE(ThreadPool::live_workers(), usable_cpus());
}

TEST(thread_pool_test, join_with_nothing_to_do) {
  ThreadPool pool(3);
  pool.join();
  pool.execute(job([] {}));
  pool.join();
  pool.join();
  EXPECT_EQ(pool.active_count(), 0U);
}

TEST(thread_pool_test, one_worker_runs_jobs_in_queue_order) {
  ThreadPool pool(1);
  std::vector<int> order;
  for (int i = 0; i < 500; ++i) pool.execute(job([&order, i] { order.push_back(i); }));
  pool.join();
  ASSERT_EQ(order.size(), 500U);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
}

// Each handle's own limit holds however many workers the process has, and
// workers serve at most as many handles at once as there are workers.
TEST(thread_pool_test, at_most_pool_size_jobs_at_once) {
  for (std::size_t size : {1U, 3U}) {
    ThreadPool pool(size);
    std::atomic<std::size_t> running{0};
    std::atomic<std::size_t> most{0};
    for (int i = 0; i < 300; ++i) {
      pool.execute(job([&] {
        const std::size_t now = running.fetch_add(1) + 1;
        std::size_t seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        for (int spin = 0; spin < 100; ++spin) std::this_thread::yield();
        running.fetch_sub(1);
      }));
    }
    pool.join();
    EXPECT_GE(most.load(), 1U);
    EXPECT_LE(most.load(), size);
  }
}

// A grid holds an instance per point: their handles share the process's
// workers, which never outnumber its CPUs.
TEST(thread_pool_test, many_handles_share_at_most_one_worker_per_cpu) {
  std::vector<ThreadPool> pools;
  std::atomic<int> done{0};
  for (int p = 0; p < 200; ++p) {
    pools.emplace_back(8);
    for (int i = 0; i < 4; ++i) pools.back().execute(job([&done] { done.fetch_add(1); }));
  }
  for (ThreadPool& pool : pools) pool.join();
  EXPECT_EQ(done.load(), 800);
  EXPECT_LE(ThreadPool::live_workers(), usable_cpus());
}

// One handle kept busy by one thread does not hold up another's calls.
TEST(thread_pool_test, two_handles_used_at_once_both_progress) {
  std::atomic<bool> stop{false};
  std::atomic<long> busy_rounds{0};
  std::thread busy([&] {
    ThreadPool pool(8);
    while (!stop.load()) {
      for (int i = 0; i < 8; ++i) pool.execute(job([] { std::this_thread::yield(); }));
      pool.join();
      busy_rounds.fetch_add(1);
    }
  });
  // The busy thread may not even have started on a loaded machine: both
  // handles are in use at once only once it has done a round. A handle that
  // held up the other would hang here, which the test's timeout reports.
  while (busy_rounds.load() == 0) std::this_thread::yield();
  ThreadPool pool(2);
  std::atomic<int> done{0};
  for (int round = 0; round < 200; ++round) {
    pool.execute(job([&done] { done.fetch_add(1); }));
    pool.join();
  }
  const long rounds_before = busy_rounds.load();
  while (busy_rounds.load() == rounds_before) std::this_thread::yield();
  stop.store(true);
  busy.join();
  EXPECT_EQ(done.load(), 200);
}

// A worker whose job failed goes on with the next: no worker is lost or added.
TEST(thread_pool_test, failed_jobs_are_reported_and_the_workers_go_on) {
  ThreadPool pool(3);
  for (int i = 0; i < 30; ++i) pool.execute(job([] { std::this_thread::yield(); }));
  pool.join();
  const std::size_t workers = ThreadPool::live_workers();
  std::atomic<int> done{0};
  testing::internal::CaptureStderr();
  for (int i = 0; i < 30; ++i) {
    if (i == 4) {
      pool.execute(job([] { throw std::runtime_error("boom from a job"); }));
    } else if (i == 11) {
      pool.execute(job([] { panic("internal trouble"); }));
    } else if (i == 20) {
      pool.execute(job([] { throw 7; }));
    } else {
      pool.execute(job([&done] { done.fetch_add(1); }));
    }
  }
  pool.join();
  const std::string notices = testing::internal::GetCapturedStderr();
  EXPECT_EQ(done.load(), 27);
  EXPECT_EQ(pool.queued_count(), 0U);
  EXPECT_EQ(pool.active_count(), 0U);
  EXPECT_NE(notices.find("boom from a job"), std::string::npos) << notices;
  EXPECT_NE(notices.find("internal trouble"), std::string::npos) << notices;
  EXPECT_NE(notices.find("thread_pool_test.cpp"), std::string::npos) << "where the panic was raised: " << notices;

  for (int i = 0; i < 30; ++i) pool.execute(job([&done] { done.fetch_add(1); }));
  pool.join();
  EXPECT_EQ(done.load(), 57);
  EXPECT_GE(ThreadPool::live_workers(), workers);
  EXPECT_LE(ThreadPool::live_workers(), usable_cpus());
}

TEST(thread_pool_test, destroying_with_jobs_queued_does_not_wait) {
  auto gate = std::make_shared<Gate>();
  auto finished = std::make_shared<std::atomic<int>>(0);
  auto pool = std::make_unique<ThreadPool>(2);
  for (int i = 0; i < 20; ++i) {
    pool->execute(job([gate, finished] {
      gate->pass();
      finished->fetch_add(1);
    }));
  }
  std::atomic<bool> destroyed{false};
  std::thread destroyer([&] {
    pool.reset();
    destroyed.store(true);
  });
  // The jobs cannot finish before the gate opens, so a destructor that waited
  // for them would never return.
  const bool returned = eventually([&] { return destroyed.load(); });
  EXPECT_TRUE(returned) << "destruction waited for the queued jobs";
  gate->open.store(true);
  destroyer.join();
  EXPECT_TRUE(eventually([&] { return finished->load() == 20; })) << finished->load() << " of 20 jobs ran";
}

// Jobs that no worker has started are destroyed unrun; a running one is
// left to finish, and join then waits for it alone.
TEST(thread_pool_test, withdrawn_jobs_never_run_and_join_skips_them) {
  auto gate = std::make_shared<Gate>();
  auto ran = std::make_shared<std::atomic<int>>(0);
  ThreadPool pool(1);
  pool.execute(job([gate, ran] {
    gate->pass();
    ran->fetch_add(1);
  }));
  ASSERT_TRUE(eventually([&] { return pool.active_count() == 1; }));
  auto destroyed = std::make_shared<std::atomic<int>>(0);
  struct Counted : Job {
    std::shared_ptr<std::atomic<int>> ran, destroyed;
    void run() override { ran->fetch_add(1); }
    ~Counted() override { destroyed->fetch_add(1); }
  };
  for (int i = 0; i < 5; ++i) {
    auto queued = std::make_unique<Counted>();
    queued->ran = ran;
    queued->destroyed = destroyed;
    pool.execute(std::move(queued));
  }
  EXPECT_EQ(pool.withdraw_queued(), 5U);
  EXPECT_EQ(destroyed->load(), 5);
  EXPECT_EQ(pool.queued_count(), 0U);
  EXPECT_EQ(pool.withdraw_queued(), 0U);
  gate->open.store(true);
  pool.join();
  EXPECT_EQ(ran->load(), 1);
  EXPECT_EQ(pool.active_count(), 0U);
  // The pool goes on taking jobs.
  pool.execute(job([ran] { ran->fetch_add(1); }));
  pool.join();
  EXPECT_EQ(ran->load(), 2);
}

TEST(thread_pool_test, concurrent_joiners_both_return) {
  ThreadPool pool(2);
  Gate gate;
  std::atomic<int> finished{0};
  for (int i = 0; i < 10; ++i) {
    pool.execute(job([&] {
      gate.pass();
      finished.fetch_add(1);
    }));
  }
  std::atomic<int> joined{0};
  int seen_by_joiner[2] = {-1, -1};
  std::thread first([&] { pool.join(); seen_by_joiner[0] = finished.load(); joined.fetch_add(1); });
  std::thread second([&] { pool.join(); seen_by_joiner[1] = finished.load(); joined.fetch_add(1); });
  gate.open.store(true);
  EXPECT_TRUE(eventually([&] { return joined.load() == 2; }));
  first.join();
  second.join();
  EXPECT_EQ(seen_by_joiner[0], 10);
  EXPECT_EQ(seen_by_joiner[1], 10);
}

// The child of a fork has none of the parent's workers, and the parent's
// lock may have been held by one of them: a handle made before the fork
// starts afresh there, with a job still queued in the parent.
TEST(thread_pool_test, a_forked_child_starts_its_own_workers) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support threads started after a multi-threaded fork";
#endif
  ThreadPool pool(2);
  Gate gate;
  pool.execute(job([&gate] { gate.pass(); }));
  EXPECT_EXIT(
      {
        std::atomic<int> done{0};
        for (int i = 0; i < 20; ++i) pool.execute(job([&done] { done.fetch_add(1); }));
        pool.join();
        std::_Exit(done.load() == 20 && ThreadPool::live_workers() >= 1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  gate.open.store(true);
  pool.join();
}

TEST(thread_pool_test, zero_threads_is_an_internal_failure) {
  try {
    ThreadPool pool(0);
    FAIL() << "no failure";
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "assertion failed: num_threads > 0");
  }
}

TEST(thread_pool_test, moved_from_handle) {
  ThreadPool original(2);
  ThreadPool pool(std::move(original));
  std::atomic<int> done{0};
  pool.execute(job([&done] { done.fetch_add(1); }));
  pool.join();
  EXPECT_EQ(done.load(), 1);

  original.join();
  EXPECT_EQ(original.queued_count(), 0U);
  EXPECT_THROW(original.execute(job([] {})), InternalError);

  original = std::move(pool);
  original.execute(job([&done] { done.fetch_add(1); }));
  original.join();
  EXPECT_EQ(done.load(), 2);
}

}  // namespace
}  // namespace gapwright
