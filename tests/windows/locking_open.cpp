// locking_open MODE [RELEASE_FILE]: opens GPIB0::17::INSTR with access mode
// MODE through the VISA library kessim run names (KESSIM_VISA_LIBRARY),
// sends the mode query when it opened, and prints both statuses. With
// RELEASE_FILE it then holds the session until that file exists, and ends
// without closing it: the lock must go with the process.
#include "visa.h"

#include <cstdio>
#include <cstdlib>
#include <windows.h>

namespace {

template <typename Function> Function bound(HMODULE library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* path = _wgetenv(L"KESSIM_VISA_LIBRARY");
  HMODULE visa = path != nullptr ? LoadLibraryW(path) : nullptr;
  if (argc < 2 || argc > 3 || visa == nullptr) {
    std::fputs("usage: kessim run CONFIG -- locking_open MODE [RELEASE_FILE]\n", stderr);
    return 2;
  }
  const auto open_default_rm = bound<decltype(&viOpenDefaultRM)>(visa, "viOpenDefaultRM");
  const auto open = bound<decltype(&viOpen)>(visa, "viOpen");
  const auto write = bound<decltype(&viWrite)>(visa, "viWrite");
  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
  open_default_rm(&rm);
  const ViStatus opened = open(rm, "GPIB0::17::INSTR", static_cast<ViAccessMode>(_wtoi(argv[1])), 0, &vi);
  std::printf("open 0x%08lX", static_cast<unsigned long>(opened));
  if (opened == VI_SUCCESS) {
    const ViByte query[] = "XXCMD?\n";
    ViUInt32 sent = 0;
    std::printf(" write 0x%08lX", static_cast<unsigned long>(write(vi, query, sizeof query - 1, &sent)));
  }
  std::printf("\n");
  std::fflush(stdout);
  if (argc == 3 && opened == VI_SUCCESS) {
    while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) {
      Sleep(50);
    }
  }
  ExitProcess(0);
}
