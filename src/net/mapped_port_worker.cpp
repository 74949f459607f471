// A connection's set-up on its worker thread: listing it, connecting the
// outbound side (through the proxies the hooks set up), the set-up hooks, the
// bytes a handshake read ahead, then the hand-over to a relay loop or the
// relay on this thread (worker_relay.cpp), and the end: the disconnect hook,
// the error report and the connection's removal from the context list.
//
// Thread contract: runs on the connection's worker thread; Finish and
// Deregister also on the relay loop thread that relayed a handed-over
// connection (through RelayEnded). The context list, the cancel flag and the
// outbound client's creation are guarded by list_mutex, the pool's counts by
// workers_mutex, the hooks by hooks_mutex (copied under it, called without
// any lock held).
#include <cerrno>
#include <chrono>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "net/address_literal.h"
#include "net/exceptions.h"
#include "net/mapped_port_impl.h"
#include "net/tcp_client.h"
#include "net/thread_wake.h"
#include "net/thread_name.h"

namespace sorvik {

// ---------------------------------------------------------------------------
// Worker thread (one connection at a time)

// Serves connections, waiting for the next one in between; a thread that has
// waited kWorkerIdleMs without one ends, unless it is the last one waiting.
void* MappedPortWorker::Main(void* arg) {
  auto* start = static_cast<TIdMappedPortTCP::Impl::WorkerStart*>(arg);
  TIdMappedPortTCP::Impl& im = *start->server;
  TIdMappedPortContext* ctx = start->ctx;
  delete start;
  // Cancel() wakes this thread's waits by a signal, blocked outside them.
  BlockWakeSignalForThread();
  NameThisThread("connection");
  bool counted = ctx == nullptr;
  for (;;) {
    if (ctx) {
      bool release = true;
      try {
        release = Run(*ctx);
      } catch (...) {
      }
      if (release) delete ctx;
    }
    ctx = im.Await(counted);
    if (!ctx) return nullptr;
    counted = false;
  }
}

std::optional<std::pair<TIdMappedPortTCP::Impl::Limit, int>> MappedPortWorker::LimitMet(
    const std::exception_ptr& error) {
  using Impl = TIdMappedPortTCP::Impl;
  try {
    std::rethrow_exception(error);
  } catch (const EIdSocketError& e) {
    switch (e.LastError) {
      case EMFILE:
      case ENFILE: return std::make_pair(Impl::kDescriptors, e.LastError);
      case ENOMEM:
      case ENOBUFS: return std::make_pair(Impl::kMemory, e.LastError);
      // The set-up's only source of EAGAIN: no thread for a name lookup.
      case EAGAIN: return std::make_pair(Impl::kThreads, e.LastError);
      default: return std::nullopt;
    }
  } catch (const std::bad_alloc&) {
    return std::make_pair(Impl::kMemory, ENOMEM);
  } catch (...) {
    return std::nullopt;
  }
}

void MappedPortWorker::Report(TIdMappedPortContext& ctx, const std::exception_ptr& error) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  TIdContextExceptionEvent hook = im.Copy(im.on_exception);
  if (!hook) return;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    try {
      hook(ctx, e);
    } catch (...) {
    }
  } catch (...) {
    EIdException unknown("");
    try {
      hook(ctx, unknown);
    } catch (...) {
    }
  }
}

void MappedPortWorker::Deregister(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  std::lock_guard<std::mutex> lock(im.list_mutex);
  im.ended_to_remote += ctx.BytesToRemote();
  im.ended_to_local += ctx.BytesToLocal();
  auto& v = im.contexts;
  // The latest connections are at the end: searched from there.
  for (auto it = v.rbegin(); it != v.rend(); ++it) {
    if (*it == &ctx) {
      v.erase(std::next(it).base());
      ++im.delisted;
      break;
    }
  }
  // Its final figures, for a window that shows the connections.
  try {
    if (im.ended.size() >= TIdMappedPortTCP::kEndedKept) im.ended.pop_front();
    im.ended.push_back({ctx.Id(), std::chrono::steady_clock::now() - ctx.Started(), ctx.BytesToRemote(),
                        ctx.BytesToLocal()});
  } catch (...) {
  }
}

bool MappedPortWorker::Run(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP& server = ctx.server_;
  TIdMappedPortTCP::Impl& im = *server.impl_;
  auto isCancelled = [&] {
    std::lock_guard<std::mutex> lock(im.list_mutex);
    return ctx.cancelled_;
  };
  auto deregister = [&] { Deregister(ctx); };

  // Listed before anything can wait, so that deactivation finds this
  // connection and cancels it; one listed while deactivation is under way
  // cancels itself.
  {
    std::lock_guard<std::mutex> lock(im.list_mutex);
    im.contexts.push_back(&ctx);
    if (im.cancelling) ctx.Cancel();
  }

  // The outbound client joins the context under the list lock, so that a
  // cancel from then on reaches its connect and handshakes too.
  std::exception_ptr failure;
  try {
    auto client = std::make_unique<TIdTCPClient>();
    client->Host = server.MappedHost;
    client->Port = server.MappedPort;
    client->IPVersion = ParseIPv6Literal(server.MappedHost) ? Id_IPv6 : Id_IPv4;
    client->ConnectTimeout = -1;
    {
      std::lock_guard<std::mutex> lock(im.list_mutex);
      ctx.outbound_ = std::move(client);
      if (ctx.cancelled_) ctx.outbound_->Cancel();
    }
    if (TIdContextEvent hook = im.Copy(im.on_connect)) hook(ctx);
    ctx.outbound_->Connect();
    if (TIdContextEvent hook = im.Copy(im.on_outbound_connect)) hook(ctx);
    ForwardBuffered(ctx);
  } catch (...) {
    failure = std::current_exception();
  }

  if (failure) {
    // A connection cancelled by deactivation ends without a report.
    const bool quiet = isCancelled();
    // One that met a limit of the process (descriptors, threads, memory) is closed at
    // once and counted: a flood of them makes one report a second.
    if (!quiet) {
      if (auto limit = LimitMet(failure)) {
        ctx.local_->Close();
        deregister();
        im.Refused(limit->first, limit->second);
        return true;
      }
    }
    if (!quiet) Report(ctx, failure);
    ctx.local_->Close();
    if (!quiet) Report(ctx, failure);
    deregister();
    return true;
  }

  // Set up: a plain connection goes to a relay loop, and this worker back to
  // its pool.
  if (HandOver(ctx)) return false;

  // Relayed on this thread (TLS, data hooks, no loop): the worker leaves the
  // pool's count while it does, and a connection queued for a worker gets a
  // thread of its own.
  TIdMappedPortContext* next = nullptr;
  {
    std::lock_guard<std::mutex> lock(im.workers_mutex);
    ++im.relaying;
    if (!im.workers_quit && im.PoolHasRoom() && (next = im.TakeQueued())) ++im.workers;
  }
  if (next) {
    if (const int err = im.SpawnThread(next)) {
      delete next;
      {
        std::lock_guard<std::mutex> lock(im.workers_mutex);
        --im.workers;  // never the last: this thread runs
      }
      im.Refused(TIdMappedPortTCP::Impl::kThreads, err);
    }
  }
  // Once the connection is set up, a failing relay is the ordinary end of a
  // connection (a side that went away): it ends without a report.
  try {
    Relay(ctx);
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lock(im.workers_mutex);
    --im.relaying;
  }
  Finish(ctx);
  return true;
}

bool MappedPortWorker::HandOver(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  if (!im.loops) return false;
  TIdIOHandler& local = *ctx.local_;
  TIdIOHandler* remote = ctx.outbound_->IOHandler();
  if (!remote || !remote->Connected() || !local.Connected() || !PlainSockets(local, *remote)) return false;
  if (!local.InputBufferIsEmpty() || !remote->InputBufferIsEmpty()) return false;
  {
    std::lock_guard<std::mutex> lock(im.hooks_mutex);
    if (im.on_execute || im.on_outbound_data) return false;
  }
  {
    std::lock_guard<std::mutex> lock(im.workers_mutex);
    ++im.adopted;
  }
  if (im.loops->Adopt(&ctx)) return true;
  std::lock_guard<std::mutex> lock(im.workers_mutex);
  --im.adopted;
  return false;
}

// The relay has ended, so nothing more is forwarded: whatever is still open
// is closed at once, and the disconnect hook sees the final byte counts
// before the connection leaves the list.
void MappedPortWorker::Finish(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  try {
    if (ctx.outbound_->Connected()) ctx.outbound_->Disconnect(false);
  } catch (...) {
  }
  if (TIdContextEvent hook = im.Copy(im.on_disconnect)) {
    try {
      hook(ctx);
    } catch (...) {
    }
  }
  Deregister(ctx);
  // The caller releases the context, which closes whatever is still open.
}

// Bytes that a handshake already read past its reply (or that a hook put into
// an input buffer) go to the other side before the first wait: the relay waits
// on the sockets only, so it would never see them.
void MappedPortWorker::ForwardBuffered(TIdMappedPortContext& ctx) {
  TIdMappedPortTCP::Impl& im = *ctx.server_.impl_;
  TIdIOHandler& local = *ctx.local_;
  TIdIOHandler& remote = *ctx.outbound_->IOHandler();
  if (!local.InputBufferIsEmpty()) {
    ctx.data_.swap(local.InputBuffer());
    local.InputBuffer().clear();
    if (TIdContextEvent hook = im.Copy(im.on_execute)) hook(ctx);
    remote.Write(ctx.data_);
    ctx.CountToRemote(ctx.data_.size());
    ctx.data_.clear();
  }
  if (!remote.InputBufferIsEmpty()) {
    ctx.data_.swap(remote.InputBuffer());
    remote.InputBuffer().clear();
    if (TIdContextEvent hook = im.Copy(im.on_outbound_data)) hook(ctx);
    local.Write(ctx.data_);
    ctx.CountToLocal(ctx.data_.size());
    ctx.data_.clear();
  }
}

}  // namespace sorvik
