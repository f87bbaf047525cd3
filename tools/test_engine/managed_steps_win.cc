#include "tools/test_engine/managed_steps_win.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/time_scale.h"
#include "tools/test_engine/park_step_win.h"

namespace test_engine {
namespace {

constexpr DWORD kAccessViolation = 0xC0000005u;

// The chains library's first parked chain thread; 0 when nothing is parked.
DWORD FirstChainThread() {
  HMODULE chains_library = GetModuleHandleW(L"test_engine_chains.dll");
  if (chains_library == nullptr) return 0;
  using ThreadFn = DWORD (*)();
  auto first =
      reinterpret_cast<ThreadFn>(reinterpret_cast<void*>(GetProcAddress(chains_library, "FirstChainThread")));
  return first != nullptr ? first() : 0;
}

}  // namespace

bool RunManagedStep(nelko::client::CrashHandlerClient& client, int argc, wchar_t** argv, int& i) {
  const std::wstring step = argv[i];
  auto arg = [&](int k) -> std::wstring { return i + k < argc ? argv[i + k] : L""; };
  if (step == L"managed-context") {
    const uintptr_t context = ParkedManagedContext();
    client.SetManagedContext(context);
    std::printf("engine: managed context 0x%llx\n", static_cast<unsigned long long>(context));
  } else if (step == L"crash-parked") {
    const bool fatal = arg(1) == L"1";
    const DWORD ms = nelko::test::Scaled(static_cast<DWORD>(_wtoi(arg(2).c_str())));
    const DWORD crashed = FirstChainThread();
    std::printf("engine: crashed thread %lu code %lx\n", crashed, kAccessViolation);
    std::fflush(stdout);
    client.FillCrashDataBlock(crashed, kAccessViolation, fatal);
    std::printf(client.SignalCrashAndWait(ms) ? "engine: crash response received\n"
                                              : "engine: no crash response\n");
    i += 2;
  } else {
    return false;
  }
  std::fflush(stdout);
  return true;
}

}  // namespace test_engine
