// The uninstaller's process entry. It links no C runtime, so it starts here
// rather than in a runtime's start-up code, and hands WinMain what a runtime
// would have.

#include <windows.h>

#include "uninstall/uninstall.h"

// The image's own base, placed by the linker: the module handle without a call.
extern "C" IMAGE_DOS_HEADER __ImageBase;

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return uninstall::UninstallScreensaver(); }

namespace {

// Windows looks for a DLL that is not a KnownDLL in the program's own folder
// first, and showing the box makes the system load some (theming among them).
// Users run an uninstaller from where they downloaded it, as administrator, so
// a DLL left there would run with those rights. From here on the system loads
// DLLs from system32 alone. Looked up, not imported: XP x64, Vista and 7
// without KB2533623 lack the call, and there the program runs unguarded.
void RestrictDllSearchToSystem32() {
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  const auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesCall>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  if (set_default_dll_directories != nullptr) set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

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
