// Process-wide state of the TLS layer: the one-time start of OpenSSL and the
// locks that serialise the library callbacks.
//
// OpenSSL 3 initialises itself and locks its own state, so the start is one
// OPENSSL_init_ssl call; the locking callback, RAND_screen and the explicit
// clean-up at exit of older library generations are not needed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace sorvik {

// Any thread. Starts the library once, under the loaded-flag lock; returns true
// at once when it is started. A failure leaves the flag clear, so the next call
// tries again. The caller raises "Could not load SSL library." on false.
bool StartTlsLibrary();
// Any thread: true once a start has succeeded.
bool TlsLibraryLoaded();

// A lock whose wait can be given up: a callback of a cancelled connection stops
// waiting for a lock whose holder waits for the window thread (see the
// bridges). Any thread; the usual lock/try_lock/try_lock_for/unlock, so it works
// with std::unique_lock. (Made of a mutex and a condition variable rather than
// std::timed_mutex, whose timed wait ThreadSanitizer does not follow.)
class TTlsCallbackLock {
 public:
  void lock() {
    std::unique_lock<std::mutex> guard(mutex_);
    free_.wait(guard, [this] { return !held_; });  // bounded by the holder's callback
    held_ = true;
  }
  bool try_lock() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (held_) return false;
    held_ = true;
    return true;
  }
  template <class Rep, class Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& wait) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!free_.wait_for(guard, wait, [this] { return !held_; })) return false;  // bounded by `wait`
    held_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;  // signalled by unlock()
  bool held_ = false;             // guarded by mutex_
};

// The three callback locks, each held for a whole library callback.
TTlsCallbackLock& TlsVerifyLock();      // VerifyBridge and the pin check it calls
TTlsCallbackLock& TlsStatusInfoLock();  // StatusBridge and its report
TTlsCallbackLock& TlsPasswordLock();    // PassphraseBridge

// Test seam: replaces the start step (nullptr restores the real one) and clears
// the loaded flag, so that the next StartTlsLibrary runs `loader`. A loader that
// returns false makes that start fail. Not for production code.
using TlsLibraryLoader = bool (*)();
void SetTlsLibraryLoaderForTesting(TlsLibraryLoader loader);

}  // namespace sorvik
