// Process-wide state of the TLS layer: the one-time start of OpenSSL and the
// locks that serialise the library callbacks.
//
// OpenSSL 3 initialises itself and locks its own state, so the start is one
// OPENSSL_init_ssl call; the locking callback, RAND_screen and the explicit
// clean-up at exit of older library generations are not needed.
#pragma once

#include <mutex>

namespace sorvik {

// Any thread. Starts the library once, under the loaded-flag lock; returns true
// at once when it is started. A failure leaves the flag clear, so the next call
// tries again. The caller raises "Could not load SSL library." on false.
bool StartTlsLibrary();
// Any thread: true once a start has succeeded.
bool TlsLibraryLoaded();

// The three callback locks, each held for a whole library callback. Timed, so
// that a callback of a cancelled connection can give up waiting for a lock whose
// holder waits for the window thread (see the bridges).
std::timed_mutex& TlsVerifyLock();      // VerifyBridge and the pin check it calls
std::timed_mutex& TlsStatusInfoLock();  // StatusBridge and its report
std::timed_mutex& TlsPasswordLock();    // PassphraseBridge

// Test seam: replaces the start step (nullptr restores the real one) and clears
// the loaded flag, so that the next StartTlsLibrary runs `loader`. A loader that
// returns false makes that start fail. Not for production code.
using TlsLibraryLoader = bool (*)();
void SetTlsLibraryLoaderForTesting(TlsLibraryLoader loader);

}  // namespace sorvik
