// The run state of a tunnel and the picture of its row in the tunnel list:
// run-time values of the window, never stored.
#pragma once

#include <cstdint>

namespace sorvik {

// Where a tunnel stands in the window's eyes: "Stopped", "OK" or "Error" in the
// list (app_core.h maps each to its text and row image).
enum class TRunState : int32_t { Stopped = 0, Running = 1, Failed = 2 };
// The picture at the start of a tunnel's row in the list; the numbers are the
// places of the pictures in the list's image list. None: no picture.
enum class TRowImage : int32_t { None = -1, Running = 1, Failed = 2, Stopped = 18 };

}  // namespace sorvik
