// A stand-in for a DLL that a drive-by download left in the Downloads folder:
// loaded into any process, it leaves "<its own folder>\planted-dll-ran.txt"
// naming that process, and does nothing else.

#include <windows.h>

#include <cstring>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char marker[MAX_PATH + 32];
  const DWORD length = GetModuleFileNameA(self, marker, MAX_PATH);
  char* folder_end = strrchr(marker, '\\');
  if (length == 0 || length >= MAX_PATH || folder_end == nullptr) return TRUE;
  strcpy(folder_end + 1, "planted-dll-ran.txt");
  char process[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, process, MAX_PATH);
  HANDLE file = CreateFileA(marker, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, process, static_cast<DWORD>(strlen(process)), &written, nullptr);
    WriteFile(file, "\r\n", 2, &written, nullptr);
    CloseHandle(file);
  }
  return TRUE;
}
