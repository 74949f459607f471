#include "tls/ssl_library.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>

#include <atomic>

#include "net/socket_util.h"

namespace sorvik {
namespace {

bool LoadOpenSsl() {
  // A write to a peer that has gone must come back as EPIPE, not end the
  // process: SSL_write sends without MSG_NOSIGNAL. The engine ignores SIGPIPE
  // too; this covers a TLS handler used on its own.
  IgnoreSigpipe();
  return OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) == 1;
}

std::mutex g_loaded_lock;                   // guards the start itself and g_loader
std::atomic<bool> g_loaded{false};          // set under g_loaded_lock, read anywhere
TlsLibraryLoader g_loader = &LoadOpenSsl;   // guarded by g_loaded_lock

}  // namespace

bool StartTlsLibrary() {
  if (g_loaded.load(std::memory_order_acquire)) return true;
  std::lock_guard<std::mutex> lock(g_loaded_lock);
  if (g_loaded.load(std::memory_order_relaxed)) return true;
  if (!g_loader()) return false;
  g_loaded.store(true, std::memory_order_release);
  return true;
}

bool TlsLibraryLoaded() { return g_loaded.load(std::memory_order_acquire); }

TTlsCallbackLock& TlsVerifyLock() {
  static TTlsCallbackLock lock;
  return lock;
}

TTlsCallbackLock& TlsStatusInfoLock() {
  static TTlsCallbackLock lock;
  return lock;
}

TTlsCallbackLock& TlsPasswordLock() {
  static TTlsCallbackLock lock;
  return lock;
}

void SetTlsLibraryLoaderForTesting(TlsLibraryLoader loader) {
  std::lock_guard<std::mutex> lock(g_loaded_lock);
  g_loader = loader ? loader : &LoadOpenSsl;
  g_loaded.store(false, std::memory_order_release);
}

}  // namespace sorvik
