/* A trivial plugin for the plugin-execution benchmark: one line, status 0. */
#include <unistd.h>

int main(void) {
  static const char line[] = "OK - bench plugin\n";
  return write(1, line, sizeof line - 1) == (ssize_t)(sizeof line - 1) ? 0 : 1;
}
