// The uninstaller's process entry. It links no C runtime, so it starts here
// rather than in a runtime's start-up code, and hands WinMain what a runtime
// would have.

#include <windows.h>

#include "app/dll_search_guard.h"
#include "uninstall/uninstall.h"

// The image's own base, placed by the linker: the module handle without a call.
extern "C" IMAGE_DOS_HEADER __ImageBase;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return uninstall::UninstallScreensaver(); }

namespace {

// The command line without the program's name, as runtimes hand it to
// WinMain: the name ends at its closing quote if it is quoted, else at the
// first blank, and the blanks after it are skipped.
char* CommandLineTail(char* command_line) {
  char* p = command_line;
  if (*p == '"') {
    ++p;
    while (*p != '\0' && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

int ShowCommand() {
  STARTUPINFOA startup;
  GetStartupInfoA(&startup);
  return (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
}

}  // namespace

extern "C" void UninstallerEntry() {
  // Before anything that could load a DLL.
  RestrictDllSearchToSystem32();
  const int status = WinMain(reinterpret_cast<HINSTANCE>(&__ImageBase), nullptr,
                             CommandLineTail(GetCommandLineA()), ShowCommand());
  ExitProcess(static_cast<UINT>(status));
}
