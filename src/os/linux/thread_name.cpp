#include "os/thread_name.h"

#include <pthread.h>

namespace zarvi::os {

void nameCurrentThread(const std::string& name) {
  ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace zarvi::os
