// The library's lock, its scoped holder and its condition variable: std::mutex and
// std::condition_variable (MinGW's posix-thread runtime on Windows) in a form clang's
// thread-safety analysis checks (support/thread_annotations.h). A member guarded by a Mutex is
// declared GUARDED_BY it; a function that expects it held is declared REQUIRES it.
#ifndef MOBILEINFO_SUPPORT_MUTEX_H
#define MOBILEINFO_SUPPORT_MUTEX_H

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "support/thread_annotations.h"

namespace mobileinfo {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  // True when the lock was free and is now held.
  bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the caller holds the lock where it cannot see it (a predicate run
  // by a wait). No run-time check: std::mutex cannot tell who holds it.
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds a Mutex for a scope. Unlock and Lock let go of it and take it back inside the scope
// (around a call that must run without it); the destructor releases it only if held.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mutex_->Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void Unlock() RELEASE() {
    mutex_->Unlock();
    held_ = false;
  }
  void Lock() ACQUIRE() {
    mutex_->Lock();
    held_ = true;
  }

 private:
  Mutex* const mutex_;
  bool held_ = true;
};

// A condition variable waited on with a Mutex held, as std::condition_variable is with a
// std::unique_lock: the wait lets go of the lock and takes it back before it returns. Time-outs
// are on the clock of the deadline given (the steady clock throughout the library).
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex& mutex) REQUIRES(mutex) {
    Adopted lock(mutex);
    cv_.wait(lock.get());
  }
  // Until done() is true. done runs with the lock held: a lambda declares REQUIRES(mutex).
  template <typename Predicate>
  void Wait(Mutex& mutex, Predicate done) REQUIRES(mutex) {
    Adopted lock(mutex);
    cv_.wait(lock.get(), done);
  }
  // False when the deadline passed without a notification.
  template <typename Clock, typename Duration>
  bool WaitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(mutex) {
    Adopted lock(mutex);
    return cv_.wait_until(lock.get(), deadline) == std::cv_status::no_timeout;
  }
  // Until done() is true or the deadline passes; done()'s last value.
  template <typename Clock, typename Duration, typename Predicate>
  bool WaitUntil(Mutex& mutex, const std::chrono::time_point<Clock, Duration>& deadline,
                 Predicate done) REQUIRES(mutex) {
    Adopted lock(mutex);
    return cv_.wait_until(lock.get(), deadline, done);
  }
  template <typename Rep, typename Period, typename Predicate>
  bool WaitFor(Mutex& mutex, const std::chrono::duration<Rep, Period>& limit, Predicate done)
      REQUIRES(mutex) {
    Adopted lock(mutex);
    return cv_.wait_for(lock.get(), limit, done);
  }

  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  // The held Mutex as the std::unique_lock a standard wait takes, owned only for the wait: the
  // caller's MutexLock still releases it afterwards, also when a predicate throws.
  class Adopted {
   public:
    explicit Adopted(Mutex& mutex) : lock_(mutex.mutex_, std::adopt_lock) {}
    ~Adopted() { lock_.release(); }
    Adopted(const Adopted&) = delete;
    Adopted& operator=(const Adopted&) = delete;
    std::unique_lock<std::mutex>& get() { return lock_; }

   private:
    std::unique_lock<std::mutex> lock_;
  };

  std::condition_variable cv_;
};

}  // namespace mobileinfo

#endif  // MOBILEINFO_SUPPORT_MUTEX_H
