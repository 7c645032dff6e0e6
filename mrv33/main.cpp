// The host program. Start-up, the system loop and the window procedures come
// with the host's own work; until then the program says so and fails.
#include <cstdio>

int main() {
  std::fputs("mrv33: the host program is not part of this build yet\n", stderr);
  return 1;
}
