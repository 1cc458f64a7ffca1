#include "uninstall/uninstall.h"

#include "platform/platform.h"
#include "uninstall/outcome_report.h"

namespace uninstall {

bool BuildTargetPath(const char* system_root, const char* folder, ByteString& path) {
  return path.Copy(system_root) && path.Append(folder) && path.Append("\\") &&
         path.Append(kScreensaverFileName);
}

bool ProbeTargetFile(const char* path) {
  platform::FileHandle file = platform::OpenFileForReading(path);
  if (file == nullptr) return false;
  platform::CloseFile(file);
  return true;
}

namespace {

// True when the screensaver under `folder` opens; `path` then names it. A
// root too long for the path buffer finds nothing: a path cut short could name
// another file that exists, and that file would then be cleared and deleted.
bool FindScreensaverIn(const char* system_root, const char* folder, ByteString& path) {
  return BuildTargetPath(system_root, folder, path) && ProbeTargetFile(path.c_str());
}

}  // namespace

int UninstallScreensaver() {
  // Without a Windows root there is nothing to find.
  const char* system_root = platform::LookUpEnvironmentVariable("SystemRoot");
  if (system_root == nullptr) return 0;

  // A 32-bit setup on 64-bit Windows that wrote to system32 was redirected to
  // SysWOW64, so a screensaver not in system32 may be there. A copy in system32
  // is the one installed for this system and is the only one handled. One that
  // is in neither, or not ours to open, is left alone and not reported.
  ByteString target_path;
  const char* folder = kSystem32Folder;
  if (!FindScreensaverIn(system_root, folder, target_path)) {
    folder = kSysWow64Folder;
    if (!FindScreensaverIn(system_root, folder, target_path)) return 0;
  }

  // Cleared first so that a read-only, hidden or system mark cannot stand in
  // the way of the deletion. Should the reset fail, the request is still made.
  platform::SetFileAttributeBits(target_path.c_str(), platform::kFileAttributeNormal);
  const RemovalOutcome outcome = platform::RequestDeletionAtRestart(target_path.c_str())
                                     ? RemovalOutcome::Scheduled
                                     : RemovalOutcome::Refused;

  // Deployment tools run uninstallers as SYSTEM, in session 0, on a window
  // station that no user sees: a box there waits for a click that cannot come,
  // and the tool reports a failure when it gives up waiting. The work is done
  // by now, so the run ends as it would after OK.
  if (!platform::WindowStationIsVisible()) return 0;

  ByteString message;
  ComposeOutcomeMessage(outcome, folder, message);
  ShowOutcomeMessage(message);
  return 0;
}

}  // namespace uninstall
