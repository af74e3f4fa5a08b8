#include "runtime/thread_pool.h"

#include <atomic>              // std::atomic
#include <condition_variable>  // std::condition_variable
#include <deque>               // std::deque
#include <exception>           // std::exception
#include <mutex>               // std::mutex, std::lock_guard, std::unique_lock
#include <source_location>     // std::source_location
#include <system_error>        // std::system_error
#include <utility>             // std::move, std::pair

#include <pthread.h>  // pthread_create, pthread_attr_setstacksize
#include <unistd.h>   // getpid

#include "runtime/cpu_budget.h"
#include "runtime/internal_error.h"
#include "runtime/system_refusal.h"

namespace gapwright {

namespace {

// The workers of one process, shared by every handle. Never freed: workers
// wait on its condition variable for the life of the process, and a forked
// child, which inherits a copy whose lock a vanished thread may hold,
// abandons it for a fresh one.
struct Workers {
  explicit Workers(int pid) : pid(pid) {}

  const int pid;
  // Guards everything below and every handle's queue, counts and links.
  std::mutex mutex;
  std::condition_variable work_ready;
  // Handles with a queued job and room for one more running, in the order
  // the workers serve them: a list through the handles themselves, so that
  // listing one never allocates.
  ThreadPoolSharedData* first = nullptr;
  ThreadPoolSharedData* last = nullptr;
  std::size_t queued = 0;  // jobs in every handle's queue
  std::size_t idle = 0;    // workers waiting for work
  std::atomic<std::size_t> live{0};
};

std::atomic<Workers*> current_workers{nullptr};

bool belongs_here(const Workers* workers) noexcept {
  return workers != nullptr && workers->pid == static_cast<int>(::getpid());
}

// This process's workers, made on first use here.
Workers& workers() {
  Workers* seen = current_workers.load();
  while (!belongs_here(seen)) {
    auto* fresh = new Workers(static_cast<int>(::getpid()));
    if (current_workers.compare_exchange_strong(seen, fresh)) return *fresh;
    delete fresh;
  }
  return *seen;
}

}  // namespace

struct ThreadPoolSharedData {
  ThreadPoolSharedData(Workers& workers, std::size_t cap) : workers(workers), cap(cap) {}

  Workers& workers;
  const std::size_t cap;
  // Under workers.mutex:
  std::deque<std::unique_ptr<Job>> queue;
  std::size_t active = 0;
  std::condition_variable idle_signal;
  // While listed: the next handle in the list, and the list's own reference,
  // which keeps a dropped handle's queued jobs alive until they have run.
  ThreadPoolSharedData* next = nullptr;
  std::shared_ptr<ThreadPoolSharedData> listed;

  bool runnable() const noexcept { return !queue.empty() && active < cap; }
  bool has_work() const noexcept { return !queue.empty() || active > 0; }
};

namespace {

// Puts a handle that can take a worker at the back of the list, unless it
// is there already.
void list_if_runnable(const std::shared_ptr<ThreadPoolSharedData>& data) noexcept {
  if (data->listed || !data->runnable()) return;
  Workers& workers = data->workers;
  data->listed = data;
  data->next = nullptr;
  (workers.last ? workers.last->next : workers.first) = data.get();
  workers.last = data.get();
}

// Takes a handle out of the list, with the list's reference to it.
std::shared_ptr<ThreadPoolSharedData> unlist(ThreadPoolSharedData& data) noexcept {
  if (!data.listed) return nullptr;
  Workers& workers = data.workers;
  ThreadPoolSharedData* before = nullptr;
  for (ThreadPoolSharedData* at = workers.first; at != &data; at = at->next) before = at;
  (before ? before->next : workers.first) = data.next;
  if (workers.last == &data) workers.last = before;
  data.next = nullptr;
  return std::move(data.listed);
}

// Runs the job; a failure is written to standard error here, since nobody
// else will hear of it.
void run_job(Job& job) {
  try {
    job.run();
  } catch (const InternalError& error) {
    write_panic_notice(error.what(), error.where());
  } catch (const std::exception& error) {
    write_panic_notice(error.what(), std::source_location::current());
  } catch (...) {
    write_panic_notice("a job failed with an exception of unknown type", std::source_location::current());
  }
}

// Takes the first listed handle's next job; the handle goes to the back of
// the list while it can take another worker, so that handles in use at once
// take turns.
std::pair<std::shared_ptr<ThreadPoolSharedData>, std::unique_ptr<Job>> take_job(Workers& workers) {
  std::shared_ptr<ThreadPoolSharedData> data = unlist(*workers.first);
  std::unique_ptr<Job> job = std::move(data->queue.front());
  data->queue.pop_front();
  --workers.queued;
  ++data->active;
  list_if_runnable(data);
  return {std::move(data), std::move(job)};
}

void worker_loop(Workers& workers) {
  std::unique_lock lock(workers.mutex);
  for (;;) {
    ++workers.idle;
    workers.work_ready.wait(lock, [&] { return workers.first != nullptr; });
    --workers.idle;
    auto [data, job] = take_job(workers);
    lock.unlock();
    run_job(*job);
    // The job and what it captured go before the count that join waits on,
    // so join never returns while a job's destructor is still running.
    job.reset();
    lock.lock();
    --data->active;
    list_if_runnable(data);
    if (!data->has_work()) data->idle_signal.notify_all();
  }
}

constexpr std::size_t kWorkerStack = std::size_t{2} << 20;

void* worker_main(void* arg) {
  worker_loop(*static_cast<Workers*>(arg));
  return nullptr;
}

// Starts a detached worker; returns the system's error number, 0 on success.
int spawn_worker(Workers& workers) {
  pthread_attr_t attr;
  if (const int error = pthread_attr_init(&attr)) return error;
  pthread_attr_setstacksize(&attr, kWorkerStack);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int error = pthread_create(&thread, &attr, worker_main, &workers);
  pthread_attr_destroy(&attr);
  if (error == 0) workers.live.fetch_add(1);
  return error;
}

}  // namespace

ThreadPool::ThreadPool(std::size_t num_threads) : num_threads_(num_threads) {
  if (num_threads == 0) panic("assertion failed: num_threads > 0");
  shared_ = std::make_shared<ThreadPoolSharedData>(workers(), num_threads);
}

namespace {

// Drops a reference without releasing it. A forked child's copy of a handle
// belongs to the parent's workers: its condition variable may count a
// waiter that does not exist here, so destroying it could block for ever.
void abandon(std::shared_ptr<ThreadPoolSharedData>&& data) noexcept {
  union Leaked {
    std::shared_ptr<ThreadPoolSharedData> reference;
    ~Leaked() {}
  } leaked{std::move(data)};
}

}  // namespace

ThreadPoolSharedData& ThreadPool::data() {
  if (!shared_) panic("use of a ThreadPool that was moved from");
  if (!belongs_here(&shared_->workers)) {
    auto fresh = std::make_shared<ThreadPoolSharedData>(workers(), num_threads_);
    abandon(std::move(shared_));
    shared_ = std::move(fresh);
  }
  return *shared_;
}

ThreadPool::~ThreadPool() {
  if (shared_ && !belongs_here(&shared_->workers)) abandon(std::move(shared_));
}

ThreadPool::ThreadPool(ThreadPool&& other) noexcept
    : shared_(std::move(other.shared_)), num_threads_(other.num_threads_) {}

ThreadPool& ThreadPool::operator=(ThreadPool&& other) noexcept {
  if (this != &other) {
    if (shared_ && !belongs_here(&shared_->workers)) abandon(std::move(shared_));
    shared_ = std::move(other.shared_);
    num_threads_ = other.num_threads_;
  }
  return *this;
}

void ThreadPool::execute(std::unique_ptr<Job> job) {
  ThreadPoolSharedData& handle = data();
  // A null job would leave a worker nothing to run.
  if (!job) panic("execute given no job");
  Workers& pool = handle.workers;
  std::lock_guard lock(pool.mutex);
  handle.queue.push_back(std::move(job));
  list_if_runnable(shared_);
  ++pool.queued;
  if (pool.idle < pool.queued && pool.live.load() < usable_cpus()) {
    const int error = spawn_worker(pool);
    if (error != 0 && pool.live.load() == 0) {
      // Nobody would ever take the job: the caller hears of it instead.
      handle.queue.pop_back();
      --pool.queued;
      if (handle.queue.empty()) unlist(handle);
      throw ThreadStartRefused(error);
    }
  }
  pool.work_ready.notify_one();
}

void ThreadPool::join() {
  if (!shared_) return;
  ThreadPoolSharedData& handle = data();
  std::unique_lock lock(handle.workers.mutex);
  handle.idle_signal.wait(lock, [&] { return !handle.has_work(); });
}

std::size_t ThreadPool::withdraw_queued() {
  if (!shared_) return 0;
  ThreadPoolSharedData& handle = data();
  std::deque<std::unique_ptr<Job>> withdrawn;
  {
    std::lock_guard lock(handle.workers.mutex);
    withdrawn.swap(handle.queue);
    handle.workers.queued -= withdrawn.size();
    // The list's reference goes with the lock held: the handle's own keeps it.
    unlist(handle);
  }
  // Destroyed outside the lock, before the caller joins: a job's destructor
  // may release what the caller waits to reclaim.
  const std::size_t count = withdrawn.size();
  withdrawn.clear();
  return count;
}

std::size_t ThreadPool::queued_count() const noexcept {
  if (!shared_) return 0;
  std::lock_guard lock(shared_->workers.mutex);
  return shared_->queue.size();
}

std::size_t ThreadPool::active_count() const noexcept {
  if (!shared_) return 0;
  std::lock_guard lock(shared_->workers.mutex);
  return shared_->active;
}

std::size_t ThreadPool::live_workers() noexcept {
  const Workers* current = current_workers.load();
  return belongs_here(current) ? current->live.load() : 0;
}

}  // namespace gapwright
