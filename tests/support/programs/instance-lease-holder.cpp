// instance-lease-holder BASE DEFAULT-BASE
// Tries the single-instance lease of BASE and prints "acquired" or
// "alreadyRunning". Having acquired it, holds it until killed.

#include <unistd.h>

#include <cstdio>

#include "core/files/ApplicationInstanceLease.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: instance-lease-holder BASE DEFAULT-BASE\n");
    return 2;
  }
  try {
    auto acquisition = korvelin::ApplicationInstanceLease::acquire(argv[1], argv[2]);
    std::printf("%s\n", acquisition.acquired() ? "acquired" : "alreadyRunning");
    std::fflush(stdout);
    if (!acquisition.acquired())
      return 0;
    for (;;)
      ::pause();
  } catch (const korvelin::ApplicationInstanceLeaseError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
