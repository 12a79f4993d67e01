// An application stand-in: accepts any arguments (a Chromium-style command
// line) and waits until a signal ends it.

#include <unistd.h>

int main() {
  for (;;)
    ::pause();
}
