#include "base/EndProcess.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace norv {

void endProcess(pthread_mutex_t* outputMutex, int status, const std::string& last) {
  pthread_mutex_lock(outputMutex);  // never released: the process ends
  std::cout << last;
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  _exit(status);
}

}  // namespace norv
