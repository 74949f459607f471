// Names the calling thread, as `top -H`, `ps -L` and debuggers show it.
//
// Thread contract: affects only the calling thread; safe from any thread.
#pragma once

#include <pthread.h>

namespace sorvik {

// `name`: at most 15 bytes (the kernel's limit); a longer one is cut.
inline void NameThisThread(const char* name) {
  char cut[16] = {};
  for (int i = 0; i < 15 && name[i]; ++i) cut[i] = name[i];
  ::pthread_setname_np(::pthread_self(), cut);
}

}  // namespace sorvik
