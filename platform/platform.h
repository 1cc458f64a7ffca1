#pragma once

// The operating-system operations that the uninstall run needs, one function
// per operation. Exactly one implementation is linked into a program: the
// Win32 one into the uninstaller, a recording fake into the host tests.
// Strings are zero-terminated bytes in the system's ANSI code page.

namespace platform {

// Windows' own values, so that the Win32 layer hands them on unchanged.
constexpr unsigned kFileAttributeNormal = 0x80;  // FILE_ATTRIBUTE_NORMAL
constexpr unsigned kMessageBoxOk = 0x0;          // MB_OK

// An open file; null stands for "not opened".
using FileHandle = void*;

// The value of the first entry of the process environment, in its order, whose
// name equals `name` in any letter case. Null when there is none; an empty
// value is a value. The text stays valid for the life of the process.
const char* LookUpEnvironmentVariable(const char* name);

// Opens the existing file at `path` for reading, while others may still read
// and write it. Never creates a file. Null when it cannot be opened.
FileHandle OpenFileForReading(const char* path);

// Closes a file from OpenFileForReading.
void CloseFile(FileHandle file);

// Sets the attributes of the file at `path` to exactly `attributes`.
// True when the system accepted them.
bool SetFileAttributeBits(const char* path, unsigned attributes);

// Asks the system to delete the file at `path` at its next restart; the file
// stays in place until then. True when the request was recorded.
bool RequestDeletionAtRestart(const char* path);

// False when the process's window station is one that no user sees, so that a
// box shown there could never be answered. True when it is seen, and when that
// cannot be told.
bool WindowStationIsVisible();

// Shows `text` under `caption` in a box with no owner window, in `style`, and
// returns once the user has closed it.
void ShowMessageBox(const char* text, const char* caption, unsigned style);

}  // namespace platform
