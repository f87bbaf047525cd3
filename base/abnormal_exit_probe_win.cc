// Test-only program: installs the handler's abnormal-termination handlers and
// then misbehaves as its argument says ("abort" or "invalid-parameter").
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/abnormal_exit_win.h"

int main(int argc, char** argv) {
  nelko::InstallAbnormalTerminationHandlers();
  if (argc > 1 && std::strcmp(argv[1], "abort") == 0) std::abort();
  if (argc > 1 && std::strcmp(argv[1], "invalid-parameter") == 0) {
    // A null stream is an invalid parameter to the C runtime.
    volatile std::FILE* none = nullptr;
    std::fclose(const_cast<std::FILE*>(none));
  }
  return 3;
}
