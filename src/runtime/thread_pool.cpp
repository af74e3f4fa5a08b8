#include "runtime/thread_pool.h"

#include <atomic>              // std::atomic
#include <condition_variable>  // std::condition_variable
#include <deque>               // std::deque
#include <exception>           // std::exception
#include <mutex>               // std::mutex, std::lock_guard, std::unique_lock
#include <source_location>     // std::source_location
#include <string>              // std::string, std::to_string
#include <system_error>        // std::system_error
#include <thread>              // std::thread
#include <utility>             // std::move

#include "runtime/internal_error.h"

namespace gapwright {

struct ThreadPoolSharedData {
  // job_queue: unbounded, many senders, one shared receiving end. `closed` is
  // set when the handle goes away; receivers then drain what is left.
  std::mutex queue_mutex;
  std::condition_variable queue_ready;
  std::deque<std::unique_ptr<Job>> queue;
  bool closed = false;

  // Held while waiting on the queue, so only one worker waits there and the
  // others queue up on this lock instead.
  std::mutex job_receiver;

  // Guards no data: it orders the joiners' counter test against the wake-up.
  std::mutex idle_lock;
  std::condition_variable idle_signal;

  std::atomic<std::size_t> join_epoch{0};
  std::atomic<std::size_t> queued_jobs{0};
  std::atomic<std::size_t> active_jobs{0};
  std::atomic<std::size_t> live_workers{0};

  void send(std::unique_ptr<Job> job) {
    {
      std::lock_guard lock(queue_mutex);
      queue.push_back(std::move(job));
    }
    queue_ready.notify_one();
  }

  // The next job, or null once the queue is closed and empty.
  std::unique_ptr<Job> receive() {
    std::unique_lock lock(queue_mutex);
    queue_ready.wait(lock, [this] { return closed || !queue.empty(); });
    if (queue.empty()) return nullptr;
    std::unique_ptr<Job> job = std::move(queue.front());
    queue.pop_front();
    return job;
  }

  void close() {
    {
      std::lock_guard lock(queue_mutex);
      closed = true;
    }
    queue_ready.notify_all();
  }

  bool has_work() const noexcept { return queued_jobs.load() > 0 || active_jobs.load() > 0; }

  void no_work_notify_all() {
    if (has_work()) return;
    // A joiner tests the counters only under idle_lock; passing through it
    // here means it is either already waiting or will see the new counts.
    { std::lock_guard lock(idle_lock); }
    idle_signal.notify_all();
  }
};

namespace {

void spawn_in_pool(const std::shared_ptr<ThreadPoolSharedData>& data);

// Runs the job and reports whether it finished normally; a failure is written
// to standard error here, since nobody else will hear of it.
bool run_job(Job& job) {
  try {
    job.run();
    return true;
  } catch (const InternalError& error) {
    write_panic_notice(error.what(), error.where());
  } catch (const std::exception& error) {
    write_panic_notice(error.what(), std::source_location::current());
  } catch (...) {
    write_panic_notice("a job failed with an exception of unknown type", std::source_location::current());
  }
  return false;
}

// The failed worker's stand-in is started before the failure is counted as
// finished, so a joiner that wakes up finds the pool at full size again.
void replace_failed_worker(const std::shared_ptr<ThreadPoolSharedData>& data) {
  try {
    spawn_in_pool(data);
  } catch (const std::exception& error) {
    write_panic_notice(std::string("could not replace a failed pool worker: ") + error.what(),
                       std::source_location::current());
  }
  data->live_workers.fetch_sub(1);
  data->active_jobs.fetch_sub(1);
  data->no_work_notify_all();
}

void worker_loop(std::shared_ptr<ThreadPoolSharedData> data) {
  for (;;) {
    std::unique_ptr<Job> job;
    {
      std::lock_guard receiver(data->job_receiver);
      job = data->receive();
    }
    if (!job) break;
    data->active_jobs.fetch_add(1);
    data->queued_jobs.fetch_sub(1);
    const bool finished = run_job(*job);
    // The job and what it captured go before the decrement, so join never
    // returns while a job's destructor is still running.
    job.reset();
    if (!finished) {
      replace_failed_worker(data);
      return;
    }
    data->active_jobs.fetch_sub(1);
    data->no_work_notify_all();
  }
  data->live_workers.fetch_sub(1);
}

void spawn_in_pool(const std::shared_ptr<ThreadPoolSharedData>& data) {
  data->live_workers.fetch_add(1);
  try {
    std::thread(worker_loop, data).detach();
  } catch (...) {
    data->live_workers.fetch_sub(1);
    throw;
  }
}

}  // namespace

ThreadPool::ThreadPool(std::size_t num_threads) {
  if (num_threads == 0) panic("assertion failed: num_threads > 0");
  auto data = std::make_shared<ThreadPoolSharedData>();
  try {
    for (std::size_t i = 0; i < num_threads; ++i) spawn_in_pool(data);
  } catch (const std::system_error& error) {
    // The workers already running see a closed, empty queue and end.
    data->close();
    panic("failed to spawn thread: " + error.code().message() + " (os error " +
          std::to_string(error.code().value()) + ")");
  }
  shared_ = std::move(data);
}

ThreadPool::~ThreadPool() {
  if (shared_) shared_->close();
}

ThreadPool::ThreadPool(ThreadPool&& other) noexcept : shared_(std::move(other.shared_)) {}

ThreadPool& ThreadPool::operator=(ThreadPool&& other) noexcept {
  if (this != &other) {
    if (shared_) shared_->close();
    shared_ = std::move(other.shared_);
  }
  return *this;
}

void ThreadPool::execute(std::unique_ptr<Job> job) {
  if (!shared_) panic("execute on a ThreadPool that was moved from");
  // A null job would read as a closed queue to the worker that takes it.
  if (!job) panic("execute given no job");
  shared_->queued_jobs.fetch_add(1);
  try {
    shared_->send(std::move(job));
  } catch (...) {
    // A job that never reached the queue must not keep join waiting.
    shared_->queued_jobs.fetch_sub(1);
    shared_->no_work_notify_all();
    throw;
  }
}

void ThreadPool::join() {
  if (!shared_) return;
  ThreadPoolSharedData& data = *shared_;
  if (!data.has_work()) return;
  const std::size_t epoch = data.join_epoch.load();
  std::unique_lock lock(data.idle_lock);
  data.idle_signal.wait(lock, [&] { return data.join_epoch.load() != epoch || !data.has_work(); });
  // Only the first joiner to leave moves the epoch on; the others waiting on
  // the same epoch then leave too, even if new work arrived meanwhile.
  std::size_t expected = epoch;
  data.join_epoch.compare_exchange_strong(expected, epoch + 1);
}

std::size_t ThreadPool::queued_count() const noexcept { return shared_ ? shared_->queued_jobs.load() : 0; }

std::size_t ThreadPool::active_count() const noexcept { return shared_ ? shared_->active_jobs.load() : 0; }

std::size_t ThreadPool::live_workers() const noexcept { return shared_ ? shared_->live_workers.load() : 0; }

}  // namespace gapwright
