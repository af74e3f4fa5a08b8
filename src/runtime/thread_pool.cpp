#include "runtime/thread_pool.h"

#include <atomic>              // std::atomic
#include <condition_variable>  // std::condition_variable
#include <deque>               // std::deque
#include <exception>           // std::exception
#include <mutex>               // std::mutex, std::lock_guard, std::unique_lock
#include <new>                 // std::bad_alloc
#include <source_location>     // std::source_location
#include <string>              // std::string
#include <system_error>        // std::system_error
#include <utility>             // std::move

#include <pthread.h>  // pthread_create, pthread_attr_setstacksize
#include <unistd.h>   // getpid

#include "runtime/internal_error.h"
#include "runtime/system_refusal.h"

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
// False when no stand-in could start: the failed worker must then carry on
// itself, or the pool would shrink and, at one worker, never run a job again.
bool replace_failed_worker(const std::shared_ptr<ThreadPoolSharedData>& data) {
  try {
    spawn_in_pool(data);
  } catch (const std::exception& error) {
    try {
      write_panic_notice(std::string("could not replace a failed pool worker: ") + error.what(),
                         std::source_location::current());
    } catch (const std::bad_alloc&) {
      write_panic_notice("could not replace a failed pool worker", std::source_location::current());
    }
    return false;
  }
  data->live_workers.fetch_sub(1);
  data->active_jobs.fetch_sub(1);
  data->no_work_notify_all();
  return true;
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
    if (!finished && replace_failed_worker(data)) return;
    data->active_jobs.fetch_sub(1);
    data->no_work_notify_all();
  }
  data->live_workers.fetch_sub(1);
}

constexpr std::size_t kWorkerStack = std::size_t{2} << 20;

void* worker_main(void* arg) {
  std::unique_ptr<std::shared_ptr<ThreadPoolSharedData>> data(
      static_cast<std::shared_ptr<ThreadPoolSharedData>*>(arg));
  worker_loop(std::move(*data));
  return nullptr;
}

// Starts a detached worker; a refusal by the system throws std::system_error.
void spawn_in_pool(const std::shared_ptr<ThreadPoolSharedData>& data) {
  pthread_attr_t attr;
  if (const int error = pthread_attr_init(&attr)) {
    throw std::system_error(error, std::generic_category());
  }
  struct AttrGuard {
    pthread_attr_t& attr;
    ~AttrGuard() { pthread_attr_destroy(&attr); }
  } attr_guard{attr};
  pthread_attr_setstacksize(&attr, kWorkerStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);

  auto arg = std::make_unique<std::shared_ptr<ThreadPoolSharedData>>(data);
  data->live_workers.fetch_add(1);
  pthread_t thread;
  if (const int error = pthread_create(&thread, &attr, worker_main, arg.get())) {
    data->live_workers.fetch_sub(1);
    throw std::system_error(error, std::generic_category());
  }
  arg.release();  // the worker owns it now
}

}  // namespace

namespace {

std::shared_ptr<ThreadPoolSharedData> start_workers(std::size_t num_threads) {
  auto data = std::make_shared<ThreadPoolSharedData>();
  try {
    for (std::size_t i = 0; i < num_threads; ++i) spawn_in_pool(data);
  } catch (const std::system_error& error) {
    // The workers already running see a closed, empty queue and end.
    data->close();
    throw ThreadStartRefused(error.code().value());
  } catch (...) {
    data->close();
    throw;
  }
  return data;
}

}  // namespace

ThreadPool::ThreadPool(std::size_t num_threads)
    : num_threads_(num_threads), owner_pid_(static_cast<int>(::getpid())) {
  if (num_threads == 0) panic("assertion failed: num_threads > 0");
  shared_ = start_workers(num_threads);
}

void ThreadPool::restart_after_fork() {
  // The old shared data was copied from the parent mid-flight: its locks may
  // be held by threads that do not exist here and its counts include their
  // references. Touching it could block for ever, so the child abandons it,
  // once a fresh set has started: a child that cannot start threads keeps
  // the old handle and tries again at its next use.
  std::shared_ptr<ThreadPoolSharedData> fresh = start_workers(num_threads_);
  new std::shared_ptr<ThreadPoolSharedData>(std::move(shared_));
  shared_ = std::move(fresh);
  owner_pid_ = static_cast<int>(::getpid());
}

ThreadPool::~ThreadPool() {
  if (!shared_) return;
  if (owner_pid_ != static_cast<int>(::getpid())) {
    new std::shared_ptr<ThreadPoolSharedData>(std::move(shared_));  // see restart_after_fork
    return;
  }
  shared_->close();
}

ThreadPool::ThreadPool(ThreadPool&& other) noexcept
    : shared_(std::move(other.shared_)), num_threads_(other.num_threads_),
      owner_pid_(other.owner_pid_) {}

ThreadPool& ThreadPool::operator=(ThreadPool&& other) noexcept {
  if (this != &other) {
    if (shared_) shared_->close();
    shared_ = std::move(other.shared_);
    num_threads_ = other.num_threads_;
    owner_pid_ = other.owner_pid_;
  }
  return *this;
}

void ThreadPool::execute(std::unique_ptr<Job> job) {
  if (!shared_) panic("execute on a ThreadPool that was moved from");
  if (owner_pid_ != static_cast<int>(::getpid())) restart_after_fork();
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
  if (owner_pid_ != static_cast<int>(::getpid())) restart_after_fork();
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

std::size_t ThreadPool::withdraw_queued() {
  if (!shared_) return 0;
  if (owner_pid_ != static_cast<int>(::getpid())) restart_after_fork();
  ThreadPoolSharedData& data = *shared_;
  std::deque<std::unique_ptr<Job>> withdrawn;
  {
    std::lock_guard lock(data.queue_mutex);
    withdrawn.swap(data.queue);
  }
  const std::size_t count = withdrawn.size();
  // As on a worker, the jobs go before the count that join waits on.
  withdrawn.clear();
  if (count > 0) {
    data.queued_jobs.fetch_sub(count);
    data.no_work_notify_all();
  }
  return count;
}

std::size_t ThreadPool::queued_count() const noexcept { return shared_ ? shared_->queued_jobs.load() : 0; }

std::size_t ThreadPool::active_count() const noexcept { return shared_ ? shared_->active_jobs.load() : 0; }

std::size_t ThreadPool::live_workers() const noexcept { return shared_ ? shared_->live_workers.load() : 0; }

}  // namespace gapwright
