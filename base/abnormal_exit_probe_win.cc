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
    // A runtime without the setter (Wine's msvcrt.dll) never calls the
    // handler: call what was installed, as such a runtime would.
    if (_invalid_parameter_handler handler = _get_invalid_parameter_handler()) {
      handler(L"stream != NULL", L"fclose", L"probe", __LINE__, 0);
    }
  }
  return 3;
}
