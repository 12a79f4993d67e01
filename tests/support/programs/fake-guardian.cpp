// A guardian that misbehaves on purpose. It takes the guardian's command line
// and answers according to the last path element of its --xray argument:
//   "ready-1"     prints "READY 1"
//   "ready-text"  prints "READY engine"
//   "silent"      prints nothing
// Then it waits for its standard input to close and exits.

#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  std::string xray;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--xray")
      xray = argv[i + 1];
  const std::string mode = xray.substr(xray.rfind('/') + 1);
  if (mode == "ready-1")
    std::puts("READY 1");
  if (mode == "ready-text")
    std::puts("READY engine");
  std::fflush(stdout);
  char buffer[4096];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
  return 0;
}
