#include "uninstall/outcome_report.h"

#include "platform/platform.h"

namespace uninstall {

const char kScreensaverFileName[] = "Sorrelvane Screensaver.scr";

namespace {

const char kCaption[] = "Uninstallation Completed";
const char kScheduledOpening[] = "Uninstall completed.  ";
const char kScheduledClosing[] = "  will be removed from your system the next time you reboot.";
const char kRefusedFirstLine[] = "There was a problem uninstalling.\r\n";
// The folder is named as users know it, not as this machine's SystemRoot has it.
const char kRefusedInstruction[] =
    "To complete the uninstall manually, you should go into your Windows directory "
    "(C:\\WINDOWS\\system32) and delete the file ";

// Each array's size counts its terminator; the message needs only one.
static_assert(sizeof kScheduledOpening + sizeof kScreensaverFileName + sizeof kScheduledClosing - 2 <=
                  kByteStringCapacity,
              "the Scheduled message fits its buffer");
static_assert(sizeof kRefusedFirstLine + sizeof kRefusedInstruction + sizeof kScreensaverFileName - 2 <=
                  kByteStringCapacity,
              "the Refused message fits its buffer");

}  // namespace

void ComposeOutcomeMessage(RemovalOutcome outcome, ByteString& message) {
  // The pieces are fixed and proven above to fit, so no append can be refused.
  if (outcome == RemovalOutcome::Scheduled) {
    message.Copy(kScheduledOpening);
    message.Append(kScreensaverFileName);
    message.Append(kScheduledClosing);
  } else {
    message.Copy(kRefusedFirstLine);
    message.Append(kRefusedInstruction);
    message.Append(kScreensaverFileName);
  }
}

void ShowOutcomeMessage(const ByteString& message) {
  platform::ShowMessageBox(message.c_str(), kCaption, platform::kMessageBoxOk);
}

}  // namespace uninstall
