#include "uninstall/uninstall.h"

#include "platform/platform.h"
#include "uninstall/outcome_report.h"

namespace uninstall {

bool BuildTargetPath(const char* system_root, ByteString& path) {
  return path.Copy(system_root) && path.Append("\\system32\\") && path.Append(kScreensaverFileName);
}

bool ProbeTargetFile(const char* path) {
  platform::FileHandle file = platform::OpenFileForReading(path);
  if (file == nullptr) return false;
  platform::CloseFile(file);
  return true;
}

int UninstallScreensaver() {
  // Without a Windows root there is nothing to find. A root too long for the
  // path buffer ends the run too: a path cut short could name another file
  // that exists, and that file would then be cleared and deleted.
  const char* system_root = platform::LookUpEnvironmentVariable("SystemRoot");
  ByteString target_path;
  if (system_root == nullptr || !BuildTargetPath(system_root, target_path)) return 0;

  // A screensaver that is not there, or not ours to open, is left alone and
  // not reported.
  if (!ProbeTargetFile(target_path.c_str())) return 0;

  // Cleared first so that a read-only, hidden or system mark cannot stand in
  // the way of the deletion. Should the reset fail, the request is still made.
  platform::SetFileAttributeBits(target_path.c_str(), platform::kFileAttributeNormal);
  const RemovalOutcome outcome = platform::RequestDeletionAtRestart(target_path.c_str())
                                     ? RemovalOutcome::Scheduled
                                     : RemovalOutcome::Refused;

  ByteString message;
  ComposeOutcomeMessage(outcome, message);
  ShowOutcomeMessage(message);
  return 0;
}

}  // namespace uninstall
