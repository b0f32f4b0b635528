// The module's thread pool: helpers that join a caller's loop.
//
// A loop is a job of numbered tasks on the caller's stack. The caller puts
// it in the queue, works on it itself and waits until every task has
// finished and no helper holds it any more; idle helpers take queued jobs,
// up to the number of helpers each job asked for. Since the caller always
// works too, a job completes even when no helper ever comes (a stopped pool,
// threads that could not be started, every helper busy with other jobs).
#include "metrics/explainability/explainers/lime/sibrelle/thread_pool.hpp"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace vorn::sibrelle::threads {

namespace {

namespace py = pybind11;

struct Job {
  const std::function<void(size_t)>* task = nullptr;
  size_t count = 0;
  size_t helpers_wanted = 0;
  // Guarded by the pool's mutex.
  size_t next = 0;      // first task nobody has taken
  size_t finished = 0;  // tasks done
  size_t helpers = 0;   // helpers that took the job
  size_t active = 0;    // helpers still working on it
  std::exception_ptr error;
  std::condition_variable done;
};

class Pool {
 public:
  explicit Pool(size_t max_helpers) : max_helpers_(max_helpers) {}

  void run(Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!stopping_ && job.helpers_wanted > 0) {
      start_helpers(std::min(job.helpers_wanted, max_helpers_));
      queue_.push_back(&job);
      wake_.notify_all();
    }
    work_on(job, lock);
    // No helper takes the job from now on; wait for those that did.
    queue_.erase(std::remove(queue_.begin(), queue_.end(), &job), queue_.end());
    job.done.wait(lock, [&] { return job.active == 0 && job.finished == job.count; });
    if (job.error) std::rethrow_exception(job.error);
  }

  // Stops the helpers and waits for them; jobs run on their callers' threads
  // from then on. The pool itself stays: a thread may still be in run().
  void stop() {
    std::vector<std::thread> helpers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      helpers.swap(helpers_);
      wake_.notify_all();
    }
    for (std::thread& helper : helpers) helper.join();
  }

 private:
  // Takes and runs tasks of `job` until none is left; `lock` is held on
  // entry and on return, and released while a task runs.
  void work_on(Job& job, std::unique_lock<std::mutex>& lock) {
    while (job.next < job.count) {
      const size_t index = job.next++;
      lock.unlock();
      std::exception_ptr error;
      try {
        (*job.task)(index);
      } catch (...) {
        error = std::current_exception();
      }
      lock.lock();
      if (error && !job.error) job.error = error;
      ++job.finished;
    }
  }

  void start_helpers(size_t wanted) {
    while (helpers_.size() < wanted) {
      try {
        helpers_.emplace_back([this] { help(); });
      } catch (const std::system_error&) {
        return;  // fewer helpers; the callers do the rest
      }
    }
  }

  Job* job_needing_help() {
    for (Job* job : queue_) {
      if (job->next < job->count && job->helpers < job->helpers_wanted) return job;
    }
    return nullptr;
  }

  void help() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      Job* job = nullptr;
      wake_.wait(lock, [&] { return stopping_ || (job = job_needing_help()) != nullptr; });
      if (stopping_) return;
      ++job->helpers;
      ++job->active;
      work_on(*job, lock);
      // The last touch of the job, under the lock its caller waits with.
      --job->active;
      job->done.notify_all();
    }
  }

  const size_t max_helpers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job*> queue_;
  std::vector<std::thread> helpers_;
  bool stopping_ = false;
};

// Made with the GIL held, so never twice at once. A forked child forgets
// the parent's pool without touching it (its lock may be held by a thread
// that does not exist in the child); the object is left behind on purpose.
Pool* process_pool = nullptr;

size_t core_count() {
#if defined(__linux__)
  cpu_set_t cpus;
  if (sched_getaffinity(0, sizeof(cpus), &cpus) == 0) {
    const int count = CPU_COUNT(&cpus);
    if (count > 0) return static_cast<size_t>(count);
  }
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

Pool& pool() {
  if (process_pool == nullptr) process_pool = new Pool(core_count() - 1);
  return *process_pool;
}

void stop_pool() {
  if (process_pool != nullptr) process_pool->stop();
}

#if defined(__linux__)
void forget_pool_in_child() { process_pool = nullptr; }
#endif

size_t thread_cap() {
  const char* text = std::getenv(kThreadCapVariable);
  if (text == nullptr) return 0;
  const std::string value(text);
  const size_t start = value.find_first_not_of(" \t");
  const size_t end = value.find_last_not_of(" \t");
  if (start == std::string::npos) return 0;  // set but empty: no cap
  const std::string digits = value.substr(start, end - start + 1);
  const bool whole = digits.size() <= 9 &&
                     digits.find_first_not_of("0123456789") == std::string::npos;
  const size_t cap = whole ? std::stoul(digits) : 0;
  if (cap == 0) {
    throw py::value_error(std::string(kThreadCapVariable) +
                          " must be a positive whole number of threads, not '" + value + "'");
  }
  return cap;
}

}  // namespace

size_t thread_budget() {
  const size_t cores = core_count();
  const size_t cap = thread_cap();
  pool();  // made here, with the GIL held
  return cap == 0 ? cores : std::min(cores, cap);
}

void parallel_for(size_t count, size_t threads, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  Job job;
  job.task = &task;
  job.count = count;
  job.helpers_wanted = std::min(threads, count) - (threads > 0 ? 1 : 0);
  if (job.helpers_wanted == 0 || process_pool == nullptr) {
    for (size_t index = 0; index < count; ++index) task(index);
    return;
  }
  process_pool->run(job);
}

void install_process_hooks() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  Py_AtExit(stop_pool);
#if defined(__linux__)
  pthread_atfork(nullptr, nullptr, forget_pool_in_child);
#endif
}

}  // namespace vorn::sibrelle::threads
