#include "app/control/control_protocol.h"

namespace sorvik {

TControlParse ParseControlRequest(std::string_view received) {
  TControlParse out;
  auto malformed = [&out](std::string why) {
    out.State = TControlParse::TState::Malformed;
    out.Error = std::move(why);
    return out;
  };
  const size_t lf = received.find('\n');
  if (lf == std::string_view::npos) {
    if (received.size() >= kMaxRequestBytes) return malformed("request too long");
    return out;  // Incomplete
  }
  if (lf + 1 > kMaxRequestBytes) return malformed("request too long");
  if (lf + 1 != received.size()) return malformed("one request per connection");
  std::string_view line = received.substr(0, lf);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.find('\0') != std::string_view::npos || line.find('\r') != std::string_view::npos) {
    return malformed("request with a control byte");
  }
  const size_t blank = line.find(' ');
  const std::string_view verb = line.substr(0, blank);
  const bool hasArgument = blank != std::string_view::npos;
  const std::string_view argument = hasArgument ? line.substr(blank + 1) : std::string_view();
  if (verb == "status" || verb == "status-json") {
    if (hasArgument) return malformed("status takes no argument");
    out.Request.Verb = verb == "status" ? TControlRequest::TVerb::Status : TControlRequest::TVerb::StatusJson;
  } else if (verb == "start" || verb == "stop") {
    if (argument.empty()) return malformed(std::string(verb) + " needs a tunnel caption");
    out.Request.Verb = verb == "start" ? TControlRequest::TVerb::Start : TControlRequest::TVerb::Stop;
    out.Request.Caption = std::string(argument);
  } else {
    return malformed("unknown request");
  }
  out.State = TControlParse::TState::Complete;
  return out;
}

std::string FormatControlRequest(const TControlRequest& request) {
  switch (request.Verb) {
    case TControlRequest::TVerb::Status: return "status\n";
    case TControlRequest::TVerb::StatusJson: return "status-json\n";
    case TControlRequest::TVerb::Start: return "start " + request.Caption + "\n";
    case TControlRequest::TVerb::Stop: return "stop " + request.Caption + "\n";
  }
  return "status\n";
}

}  // namespace sorvik
