#include "uninstall/outcome_report.h"

#include "platform/platform.h"

namespace uninstall {

const char kScreensaverFileName[] = "Sorrelvane Screensaver.scr";
const char kSystem32Folder[sizeof "\\system32"] = "\\system32";
const char kSysWow64Folder[sizeof "\\SysWOW64"] = "\\SysWOW64";

namespace {

const char kCaption[] = "Uninstallation Completed";
const char kScheduledOpening[] = "Uninstall completed.  ";
const char kScheduledClosing[] = "  will be removed from your system the next time you reboot.";
const char kRefusedFirstLine[] = "There was a problem uninstalling.\r\n";
// The Windows directory is named as users know it, not as this machine's
// SystemRoot has it; the folder in it is the one where the file was found.
const char kRefusedInstructionOpening[] =
    "To complete the uninstall manually, you should go into your Windows directory (C:\\WINDOWS";
const char kRefusedInstructionClosing[] = ") and delete the file ";

// Each array's size counts its terminator; the message needs only one.
static_assert(sizeof kScheduledOpening + sizeof kScreensaverFileName + sizeof kScheduledClosing - 2 <=
                  kByteStringCapacity,
              "the Scheduled message fits its buffer");
static_assert(sizeof kSystem32Folder == sizeof kSysWow64Folder, "either folder gives a message of one length");
static_assert(sizeof kRefusedFirstLine + sizeof kRefusedInstructionOpening + sizeof kSystem32Folder +
                      sizeof kRefusedInstructionClosing + sizeof kScreensaverFileName - 4 <=
                  kByteStringCapacity,
              "the Refused message fits its buffer");

}  // namespace

void ComposeOutcomeMessage(RemovalOutcome outcome, const char* folder, ByteString& message) {
  // The pieces are fixed and proven above to fit, so no append can be refused.
  if (outcome == RemovalOutcome::Scheduled) {
    message.Copy(kScheduledOpening);
    message.Append(kScreensaverFileName);
    message.Append(kScheduledClosing);
  } else {
    message.Copy(kRefusedFirstLine);
    message.Append(kRefusedInstructionOpening);
    message.Append(folder);
    message.Append(kRefusedInstructionClosing);
    message.Append(kScreensaverFileName);
  }
}

void ShowOutcomeMessage(const ByteString& message) {
  platform::ShowMessageBox(message.c_str(), kCaption, platform::kMessageBoxOk);
}

}  // namespace uninstall
