#pragma once

#include "uninstall/byte_string.h"

namespace uninstall {

// What became of the request to delete the screensaver at the next restart.
enum class RemovalOutcome { Scheduled, Refused };

// The screensaver's file name, as it stands in system32 and in both messages.
extern const char kScreensaverFileName[];

// The text that tells the user about `outcome`.
void ComposeOutcomeMessage(RemovalOutcome outcome, ByteString& message);

// Shows `message` in a modal box with one OK button and returns once the user
// has closed it.
void ShowOutcomeMessage(const ByteString& message);

}  // namespace uninstall
