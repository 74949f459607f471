// Which kind of network object reported a status: decides the event code and
// the line pattern of a status event. Kept in one place so that the TLS and
// proxy libraries each complete their own test.
//
// Thread contract: pure tests of a type, any thread (the reporting workers).
#pragma once

namespace sorvik {

class TIdComponent;

// True for the TLS I/O handler (TIdSSLIOHandlerSocketOpenSSL and derived).
bool IsTlsIOHandler(const TIdComponent& c);
// True for any TIdIOHandlerStack (the TLS handler included).
bool IsStackIOHandler(const TIdComponent& c);
// True for a SOCKS client (TIdSocksInfo and derived).
bool IsSocksClient(const TIdComponent& c);
// True for an HTTP CONNECT client (TIdConnectThroughHttpProxy and derived).
bool IsHttpConnectClient(const TIdComponent& c);

}  // namespace sorvik
