// Prints the console's output and input code pages ("output 437 input 437"),
// for the test of what orvik-updater-cli.exe leaves behind.
#include <windows.h>

#include <cstdio>

int main() {
  std::printf("output %u input %u\n", GetConsoleOutputCP(), GetConsoleCP());
  return 0;
}
