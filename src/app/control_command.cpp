#include "app/control_command.h"

#include <string>

#include "app/control_channel.h"
#include "app/settings.h"
#include "app/tunnel_test_command.h"

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
  switch (reply.State) {
    case TControlReply::TState::Ok:
      std::fwrite(reply.Text.data(), 1, reply.Text.size(), out);
      std::fflush(out);
      return 0;
    case TControlReply::TState::NoInstance:
      std::fprintf(err, "sorvik: no Sorvik is running with the data directory %s\n", dataDir.c_str());
      return kExitNoInstance;
    case TControlReply::TState::Unknown:
      std::fprintf(err, "sorvik: %s\n", reply.Text.c_str());
      return kExitNoSuchTunnel;
    case TControlReply::TState::Error:
      std::fprintf(err, "sorvik: %s\n", reply.Text.c_str());
      return 1;
    case TControlReply::TState::Failed:
      break;
  }
  std::fprintf(err, "sorvik: %s\n", reply.Text.c_str());
  return 1;
}

}  // namespace sorvik
