#include "app/control/control_command.h"

#include <string>

#include "app/commands/tunnel_test_command.h"
#include "app/control/control_channel.h"
#include "app/core/terminal_text.h"
#include "app/settings/settings.h"

namespace sorvik {

int RunControlCommand(const TCommandLine& cl, std::FILE* out, std::FILE* err) {
  const std::string dataDir = DataDirectory(cl.DataDir);
  TControlRequest request;
  switch (cl.Action) {
    case TCommandLine::TAction::Start:
      request.Verb = TControlRequest::TVerb::Start;
      break;
    case TCommandLine::TAction::Stop:
      request.Verb = TControlRequest::TVerb::Stop;
      break;
    default:
      request.Verb = cl.Json ? TControlRequest::TVerb::StatusJson : TControlRequest::TVerb::Status;
      break;
  }
  request.Caption = cl.ControlCaption;
  if (request.Caption.find('\n') != std::string::npos || request.Caption.find('\r') != std::string::npos) {
    std::fprintf(err, "sorvik: a tunnel caption has no line break\n");
    return kExitNoSuchTunnel;
  }
  const TControlReply reply = SendControlRequest(dataDir, request, kControlAnswerMs);
  // Whatever the instance sends, nothing of it reaches the terminal raw.
  const std::string text = TerminalText(reply.Text, reply.State == TControlReply::TState::Ok);
  switch (reply.State) {
    case TControlReply::TState::Ok:
      std::fwrite(text.data(), 1, text.size(), out);
      std::fflush(out);
      return 0;
    case TControlReply::TState::NoInstance:
      std::fprintf(err, "sorvik: no Sorvik is running with the data directory %s\n", TerminalText(dataDir).c_str());
      return kExitNoInstance;
    case TControlReply::TState::Unknown:
      std::fprintf(err, "sorvik: %s\n", text.c_str());
      return kExitNoSuchTunnel;
    case TControlReply::TState::Error:
    case TControlReply::TState::Failed:
      break;
  }
  std::fprintf(err, "sorvik: %s\n", text.c_str());
  return 1;
}

}  // namespace sorvik
