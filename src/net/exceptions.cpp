#include "net/exceptions.h"

#include <cerrno>
#include <cstring>
#include <string.h>

namespace sorvik {

std::string SocketErrorText(int code) {
  switch (code) {
    case EINTR: return "Interrupted system call.";
    case EBADF: return "Bad file number.";
    case EACCES: return "Access denied.";
    case EFAULT: return "Buffer fault.";
    case EINVAL: return "Invalid argument.";
    case EMFILE: return "Too many open files.";
    case EWOULDBLOCK: return "Operation would block.";
    case EINPROGRESS: return "Operation now in progress.";
    case EALREADY: return "Operation already in progress.";
    case ENOTSOCK: return "Socket operation on non-socket.";
    case EDESTADDRREQ: return "Destination address required.";
    case EMSGSIZE: return "Message too long.";
    case EPROTOTYPE: return "Protocol wrong type for socket.";
    case ENOPROTOOPT: return "Bad protocol option.";
    case EPROTONOSUPPORT: return "Protocol not supported.";
    case ESOCKTNOSUPPORT: return "Socket type not supported.";
    case EOPNOTSUPP: return "Operation not supported on socket.";
    case EPFNOSUPPORT: return "Protocol family not supported.";
    case EAFNOSUPPORT: return "Address family not supported by protocol family.";
    case EADDRINUSE: return "Address already in use.";
    case EADDRNOTAVAIL: return "Cannot assign requested address.";
    case ENETDOWN: return "Network is down.";
    case ENETUNREACH: return "Network is unreachable.";
    case ENETRESET: return "Net dropped connection or reset.";
    case ECONNABORTED: return "Software caused connection abort.";
    case ECONNRESET: return "Connection reset by peer.";
    case ENOBUFS: return "No buffer space available.";
    case EISCONN: return "Socket is already connected.";
    case ENOTCONN: return "Socket is not connected.";
    case ESHUTDOWN: return "Cannot send or receive after socket is closed.";
    case ETOOMANYREFS: return "Too many references, cannot splice.";
    case ETIMEDOUT: return "Connection timed out.";
    case ECONNREFUSED: return "Connection refused.";
    case ELOOP: return "Too many levels of symbolic links.";
    case ENAMETOOLONG: return "File name too long.";
    case EHOSTDOWN: return "Host is down.";
    case EHOSTUNREACH: return "No route to host.";
    case ENOTEMPTY: return "Directory not empty";
    case kHostNotFoundError: return "Host not found.";
    default: return {};
  }
}

std::string SystemErrorText(int code) {
  const char* text = code > 0 ? ::strerrordesc_np(code) : nullptr;
  if (text == nullptr) return "Unknown error " + std::to_string(code) + ".";
  return std::string(text) + ".";
}

std::string SocketErrorMessage(int code) {
  std::string text = SocketErrorText(code);
  if (text.empty()) text = SystemErrorText(code);
  return "Socket Error # " + std::to_string(code) + "\r\n" + text;
}

void RaiseSocketError(int code) {
  if (code == ENOTSOCK) throw EIdNotASocket(code, SocketErrorMessage(code));
  throw EIdSocketError(code, SocketErrorMessage(code));
}

const char* ErrorClassName(const std::exception& e) noexcept {
  if (auto* id = dynamic_cast<const EIdException*>(&e)) return id->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return "EOutOfMemory";
  return "Exception";
}

}  // namespace sorvik
