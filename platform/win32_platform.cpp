// The platform operations on Win32, each a thin wrapper over one ANSI call.

#include <windows.h>

#include "platform/environment_block.h"
#include "platform/platform.h"

static_assert(platform::kFileAttributeNormal == FILE_ATTRIBUTE_NORMAL,
              "attribute values are handed to Windows unchanged");
static_assert(platform::kMessageBoxOk == MB_OK,
              "message box styles are handed to Windows unchanged");

namespace platform {

// Our own search rather than GetEnvironmentVariableA, so that a block with
// the same name twice in different letter case resolves to the first entry
// on every Windows version. The block is a copy of the process environment
// and is kept, never freed, for the life of the process.
const char* LookUpEnvironmentVariable(const char* name) {
  const char* block = GetEnvironmentStringsA();
  return block == nullptr ? nullptr : FindEnvironmentValue(block, name);
}

// Sharing read and write but not deletion: a file that is open elsewhere for
// deletion, or held without sharing, does not open.
FileHandle OpenFileForReading(const char* path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

void CloseFile(FileHandle file) { CloseHandle(file); }

bool SetFileAttributeBits(const char* path, unsigned attributes) {
  return SetFileAttributesA(path, attributes) != 0;
}

// No destination: a delayed move to nowhere is a deletion at the next restart.
bool RequestDeletionAtRestart(const char* path) {
  return MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != 0;
}

// A failed query counts as visible, so that a box is never held back where
// someone could have answered it.
bool WindowStationIsVisible() {
  USEROBJECTFLAGS flags;
  DWORD needed;
  return !GetUserObjectInformationA(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed) ||
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

void ShowMessageBox(const char* text, const char* caption, unsigned style) {
  MessageBoxA(nullptr, text, caption, style);
}

}  // namespace platform
