// empty_program_win: the baseline of the start-up benchmark, a program of the
// same build that does nothing but say it has started.
#include <cstdio>

int main() {
  std::fputs("started\n", stdout);
  std::fflush(stdout);
  return 0;
}
