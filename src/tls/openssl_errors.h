// Error classes of the TLS layer. Every message is a context message, CR LF and
// the library's error text (or the context message / library text alone).
//
//   EIdOpenSSLError
//   +- EIdOpenSSLAPISSLError          a failing session call (SSL_get_error code)
//   |  +- EIdOSSLDataBindingError     SSL_set_ex_data
//   |  +- EIdOSSLFDSetError           SSL_set_fd
//   |  +- EIdOSSLConnectError         SSL_connect
//   +- EIdOpenSSLAPICryptoError       an error taken from the library's error queue
//   |  +- EIdOSSLCreatingContextError SSL_CTX_new
//   |  +- EIdOSSLLoadingKeyError      SSL_CTX_set_cipher_list
//   |  +- EIdOSSLUnderlyingCryptoError
//   +- EIdOSSLCouldNotLoadSSLLibrary
//   +- EIdOSSLCreatingSessionError    SSL_new
#pragma once

#include <string>

#include "net/exceptions.h"

namespace sorvik {

class EIdOpenSSLError : public EIdException {
 public:
  using EIdException::EIdException;
  const char* ClassName() const noexcept override { return "EIdOpenSSLError"; }
  // SSL_get_error code (e) and the failing call's result (r) of a TLS error;
  // 0 when the error did not come from a session call.
  int SSLErrorCode = 0;
  int ReturnCode = 0;
};

SORVIK_DECLARE_ERROR(EIdOpenSSLAPISSLError, EIdOpenSSLError);
SORVIK_DECLARE_ERROR(EIdOSSLDataBindingError, EIdOpenSSLAPISSLError);
SORVIK_DECLARE_ERROR(EIdOSSLFDSetError, EIdOpenSSLAPISSLError);
SORVIK_DECLARE_ERROR(EIdOSSLConnectError, EIdOpenSSLAPISSLError);

class EIdOpenSSLAPICryptoError : public EIdOpenSSLError {
 public:
  using EIdOpenSSLError::EIdOpenSSLError;
  const char* ClassName() const noexcept override { return "EIdOpenSSLAPICryptoError"; }
  unsigned long CryptoErrorCode = 0;  // the queued error (ERR_get_error)
};

SORVIK_DECLARE_ERROR(EIdOSSLCreatingContextError, EIdOpenSSLAPICryptoError);
SORVIK_DECLARE_ERROR(EIdOSSLLoadingKeyError, EIdOpenSSLAPICryptoError);
SORVIK_DECLARE_ERROR(EIdOSSLUnderlyingCryptoError, EIdOpenSSLAPICryptoError);

SORVIK_DECLARE_ERROR(EIdOSSLCouldNotLoadSSLLibrary, EIdOpenSSLError);
SORVIK_DECLARE_ERROR(EIdOSSLCreatingSessionError, EIdOpenSSLError);

inline constexpr const char* kMsgCouldNotLoadSSLLibrary = "Could not load SSL library.";
inline constexpr const char* kMsgCreatingContext = "Error creating SSL context.";
inline constexpr const char* kMsgSetCipher = "SetCipher failed.";
inline constexpr const char* kMsgCreatingSession = "Error creating SSL session.";
inline constexpr const char* kMsgDataBinding = "Error binding data to SSL socket.";
inline constexpr const char* kMsgFDSet = "Error setting File Descriptor for SSL";
inline constexpr const char* kMsgConnect = "Error connecting with SSL.";
inline constexpr const char* kMsgEOFViolation = "EOF was observed that violates the protocol";

}  // namespace sorvik
