// `sorvik status [--json]`, `sorvik start CAPTION`, `sorvik stop CAPTION`:
// one request to the instance that runs on the data directory, its answer
// printed. Never starts an instance, never reads or writes the settings file.
//
// Thread contract: the main thread, once.
#pragma once

#include <cstdio>

#include "app/commands/cli.h"

namespace sorvik {

// How long the command waits for the instance's answer in all.
inline constexpr int kControlAnswerMs = 15000;

// Exit status: 0 done; 1 no such tunnel (as with --test), the instance refused
// or failed (a tunnel that could not start), or could not be asked; 3 no
// instance runs on the data directory.
int RunControlCommand(const TCommandLine& cl, std::FILE* out = stdout, std::FILE* err = stderr);

}  // namespace sorvik
