// Error classes of the network layer. Every failure is an exception carrying a
// fixed English message; ClassName() gives the class's own name for the error log.
//
// Thread contract: plain values with no shared state, any thread.
#pragma once

#include <stdexcept>
#include <string>

namespace sorvik {

// Root of every error this program raises on purpose.
class EIdException : public std::runtime_error {
 public:
  explicit EIdException(const std::string& message) : std::runtime_error(message) {}
  virtual const char* ClassName() const noexcept { return "EIdException"; }
  std::string Message() const { return what(); }
};

// Declares an error class `Name` deriving from `Base` with the base's constructors.
#define SORVIK_DECLARE_ERROR(Name, Base)                                    \
  class Name : public Base {                                                \
   public:                                                                  \
    using Base::Base;                                                       \
    const char* ClassName() const noexcept override { return #Name; }      \
  }

// A failing socket call: carries the error code and "Socket Error # %d\r\n%s".
class EIdSocketError : public EIdException {
 public:
  EIdSocketError(int code, const std::string& message) : EIdException(message), LastError(code) {}
  const char* ClassName() const noexcept override { return "EIdSocketError"; }
  const int LastError;
};
SORVIK_DECLARE_ERROR(EIdNotASocket, EIdSocketError);

// Code used for a failed name lookup; the platform has no errno for it.
inline constexpr int kHostNotFoundError = 11001;

// The text of the table for a platform error code ("Connection refused." for
// ECONNREFUSED, "Host not found." for kHostNotFoundError); empty when unknown.
std::string SocketErrorText(int code);
// The system's English description of an errno code with a closing period
// ("Too many open files in system." for ENFILE); never translated, so logs read
// the same under every locale. "Unknown error <code>." for a code it lacks.
std::string SystemErrorText(int code);
// "Socket Error # <code>\r\n<text>", where the text is the table's or, for a
// code without one, the system's.
std::string SocketErrorMessage(int code);
// Raises EIdSocketError (EIdNotASocket for ENOTSOCK) for `code`.
[[noreturn]] void RaiseSocketError(int code);

SORVIK_DECLARE_ERROR(EIdTransparentProxyCircularLink, EIdException);
SORVIK_DECLARE_ERROR(EIdTransparentProxyUDPNotSupported, EIdException);
SORVIK_DECLARE_ERROR(EIdTransparentProxyCantBind, EIdException);
SORVIK_DECLARE_ERROR(EIdAlreadyConnected, EIdException);
SORVIK_DECLARE_ERROR(EIdHostRequired, EIdException);
SORVIK_DECLARE_ERROR(EIdPortRequired, EIdException);
SORVIK_DECLARE_ERROR(EIdConnectTimeout, EIdException);
SORVIK_DECLARE_ERROR(EIdConnectException, EIdException);
SORVIK_DECLARE_ERROR(EIdReadTimeout, EIdException);
SORVIK_DECLARE_ERROR(EIdConnClosedGracefully, EIdException);
SORVIK_DECLARE_ERROR(EIdReadLnMaxLineLengthExceeded, EIdException);
SORVIK_DECLARE_ERROR(EIdCouldNotBindSocket, EIdException);
SORVIK_DECLARE_ERROR(EIdNotConnected, EIdException);
// Raised inside a connection whose server is being deactivated: the worker ends quietly.
SORVIK_DECLARE_ERROR(EIdConnectionCancelled, EIdException);

inline constexpr const char* kMsgAlreadyConnected = "Already connected.";
inline constexpr const char* kMsgConnectTimeout = "Connect timed out.";
inline constexpr const char* kMsgReadTimeout = "Read timed out.";
inline constexpr const char* kMsgConnClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* kMsgMaxLineLength = "Max line length exceeded.";
inline constexpr const char* kMsgCouldNotBind = "Could not bind socket. Address and port are already in use.";
inline constexpr const char* kMsgUDPNotSupported = "UDP Not supported by this proxy.";
inline constexpr const char* kMsgCantBind = "Transparent proxy cannot bind.";
inline constexpr const char* kMsgCircularLink = ": Circular links are not allowed";
inline constexpr const char* kMsgNotConnected = "Not Connected";
inline constexpr const char* kMsgCancelled = "Connection cancelled.";

// Class name of any exception: ClassName() for ours, a generic name otherwise.
const char* ErrorClassName(const std::exception& e) noexcept;

}  // namespace sorvik
