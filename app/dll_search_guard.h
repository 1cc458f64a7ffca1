#pragma once

#include <windows.h>

// Windows looks for a DLL that is not a KnownDLL in the program's own folder
// first, and showing the box makes the system load some (theming among them).
// Users run an uninstaller from where they downloaded it, as administrator, so
// a DLL left there would run with those rights. From here on the system loads
// DLLs from system32 alone. Looked up, not imported: XP x64, Vista and 7
// without KB2533623 lack the call, and there the program runs unguarded.
// True when the restriction is in force.
inline bool RestrictDllSearchToSystem32() {
  using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
  const auto set_default_dll_directories = reinterpret_cast<SetDefaultDllDirectoriesCall>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories")));
  return set_default_dll_directories != nullptr && set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
