#include "match/workers.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include "tuning.hpp"

namespace vashlet {

namespace {

class Workers {
 public:
  bool run(std::function<void()>&& work, std::function<void()>&& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (spare_ == 0) {
      try {
        std::thread(&Workers::serve, this).detach();
      } catch (...) {
        return false;
      }
      ++threads_;
      ++spare_;  // the new worker, free until it takes a job
    }
    try {
      jobs_.push_back(Job{std::move(work), std::move(done)});
    } catch (...) {
      return false;
    }
    --spare_;
    if (dismissed_ > spare_) {  // a worker that takes the job stays
      dismissed_ = spare_;
      if (dismissed_ == 0) left_.notify_all();
    }
    lock.unlock();
    wake_.notify_one();
    return true;
  }

  // Asks the workers without a job to leave now; returns once they have.
  void dismiss_idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    dismissed_ = spare_;
    if (dismissed_ == 0) return;
    wake_.notify_all();
    left_.wait(lock, [&] { return dismissed_ == 0; });
  }

  std::size_t count() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }

  void lock_for_fork() { mutex_.lock(); }
  void unlock_after_fork() { mutex_.unlock(); }

 private:
  struct Job {
    std::function<void()> work;
    std::function<void()> done;
  };

  void serve() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      const bool woken = wake_.wait_for(lock, tuning::kWorkerIdle,
                                        [&] { return !jobs_.empty() || dismissed_ > 0; });
      if (!woken || jobs_.empty()) {
        if (woken && --dismissed_ == 0) left_.notify_all();
        --spare_;
        --threads_;
        return;
      }
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job.work();
      job.work = nullptr;
      lock.lock();
      ++spare_;
      lock.unlock();
      job.done();
      job.done = nullptr;  // what the job holds goes before the worker waits again
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable left_;  // the last dismissed worker has left
  std::deque<Job> jobs_;
  std::size_t threads_ = 0;
  // Workers that are not running a job, less the jobs waiting for one: never below 0.
  std::size_t spare_ = 0;
  // Of the spare workers, those asked to leave (dismiss_idle) that have not yet.
  std::size_t dismissed_ = 0;
};

// Never destroyed: workers may still be waiting while the process exits. A forked child has
// none of the parent's workers; it leaves the parent's state behind (its lock held across the
// fork, its waiters gone) and starts anew.
Workers* instance = nullptr;

Workers& workers() {
  static const bool made = [] {
    instance = new Workers();
#if defined(__unix__) || defined(__APPLE__)
    pthread_atfork([] { instance->lock_for_fork(); }, [] { instance->unlock_after_fork(); },
                   [] { instance = new Workers(); });
#endif
    return true;
  }();
  (void)made;
  return *instance;
}

}  // namespace

bool run_on_worker(std::function<void()> work, std::function<void()> done) {
  return workers().run(std::move(work), std::move(done));
}

std::size_t worker_count() { return workers().count(); }

void dismiss_idle_workers() { workers().dismiss_idle(); }

}  // namespace vashlet
