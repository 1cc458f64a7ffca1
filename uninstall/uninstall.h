#pragma once

#include "uninstall/byte_string.h"

namespace uninstall {

// The whole run of the program: schedules the screensaver for deletion at the
// next restart and tells the user how that went, where a user can see it.
// Returns the exit status, 0.
int UninstallScreensaver();

// Builds "<system_root><folder>\<screensaver file name>" into `path`, taking
// the value exactly as given. False when the path would not fit its buffer.
bool BuildTargetPath(const char* system_root, const char* folder, ByteString& path);

// True when the file at `path` could be opened for reading; it has then been
// closed again, and nothing has been read from it.
bool ProbeTargetFile(const char* path);

}  // namespace uninstall
