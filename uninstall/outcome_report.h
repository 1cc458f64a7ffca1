#pragma once

#include "uninstall/byte_string.h"

namespace uninstall {

// What became of the request to delete the screensaver at the next restart.
enum class RemovalOutcome { Scheduled, Refused };

// The screensaver's file name, as it stands in system32 and in both messages.
extern const char kScreensaverFileName[];

// The folders under the Windows root where the screensaver is looked for, in
// that order, each with its leading backslash; a refusal names the one where
// it was found.
extern const char kSystem32Folder[sizeof "\\system32"];
extern const char kSysWow64Folder[sizeof "\\SysWOW64"];

// The text that tells the user about `outcome` for the screensaver found in
// `folder` under the Windows root, one of the two above.
void ComposeOutcomeMessage(RemovalOutcome outcome, const char* folder, ByteString& message);

// Shows `message` in a modal box with one OK button and returns once the user
// has closed it.
void ShowOutcomeMessage(const ByteString& message);

}  // namespace uninstall
