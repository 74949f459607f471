// The ASCII form of a host name, as lookups, proxies and TLS need it. A name
// with non-ASCII letters ("bücher.example") is written with A-labels
// ("xn--bcher-kva.example"), by IDNA 2008 with the UTS #46 mapping (libidn2),
// so that the resolver, a proxy's request and the TLS server name all carry
// the same ASCII name, as a browser sends it.
//
// Thread contract: pure functions, callable from any thread.
#pragma once

#include <optional>
#include <string>

namespace sorvik {

// The host in ASCII: an ASCII host (an address literal, any name of ASCII
// characters) comes back unchanged; a name with non-ASCII characters is
// converted to A-labels. Nothing when it is no valid international name; `why`
// (when given) then says what is wrong, in libidn2's words.
std::optional<std::string> AsciiHostName(const std::string& host, std::string* why = nullptr);
// AsciiHostName, or the host unchanged when it has no ASCII form (a start
// refuses such a host before anything connects).
std::string AsciiHostOrSame(const std::string& host);
// The name a TLS client sends as its server name (SNI) and checks the
// certificate against: AsciiHostOrSame without a trailing dot ("localhost."
// is "localhost": the dot only tells a resolver not to search its domains).
std::string TlsHostName(const std::string& host);

}  // namespace sorvik
