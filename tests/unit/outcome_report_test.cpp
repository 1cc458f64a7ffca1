// The two messages, byte for byte, and the box they are shown in.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/unit/recording_platform.h"
#include "uninstall/outcome_report.h"
#include "uninstall/uninstall.h"

namespace {

using uninstall::RemovalOutcome;

std::string Compose(RemovalOutcome outcome, const char* folder = uninstall::kSystem32Folder) {
  uninstall::ByteString message;
  uninstall::ComposeOutcomeMessage(outcome, folder, message);
  EXPECT_EQ(std::string(message.c_str()).size(), message.length());
  return message.c_str();
}

TEST(OutcomeText, ScheduledIsOneLineWithTheNameBetweenDoubleSpaces) {
  const std::string text = Compose(RemovalOutcome::Scheduled);
  EXPECT_EQ(
      "Uninstall completed.  Sorrelvane Screensaver.scr  will be removed from your system the next "
      "time you reboot.",
      text);
  EXPECT_EQ(108u, text.size());
}

TEST(OutcomeText, RefusedBreaksWithCrLfAndEndsWithTheBareFileName) {
  const std::string text = Compose(RemovalOutcome::Refused);
  EXPECT_EQ(
      "There was a problem uninstalling.\r\nTo complete the uninstall manually, you should go into "
      "your Windows directory (C:\\WINDOWS\\system32) and delete the file Sorrelvane Screensaver.scr",
      text);
  EXPECT_EQ(181u, text.size());
}

TEST(OutcomeText, RefusedNamesSysWow64ForACopyFoundThereAndScheduledDoesNot) {
  const std::string text = Compose(RemovalOutcome::Refused, uninstall::kSysWow64Folder);
  EXPECT_EQ(
      "There was a problem uninstalling.\r\nTo complete the uninstall manually, you should go into "
      "your Windows directory (C:\\WINDOWS\\SysWOW64) and delete the file Sorrelvane Screensaver.scr",
      text);
  EXPECT_EQ(181u, text.size());
  EXPECT_EQ(Compose(RemovalOutcome::Scheduled), Compose(RemovalOutcome::Scheduled, uninstall::kSysWow64Folder));
}

TEST(OutcomeBox, CaptionAndStyleAreTheSameForBothOutcomes) {
  recording_platform::Script script;
  for (bool accepted : {true, false}) {
    script.deletion_request_accepted = accepted;
    recording_platform::Reset(script);
    uninstall::UninstallScreensaver();
    EXPECT_THAT(recording_platform::Recorded().box_captions, ::testing::ElementsAre("Uninstallation Completed"))
        << "request accepted: " << accepted;
    EXPECT_EQ("ShowMessageBox(style 0)", recording_platform::Recorded().calls.back());
  }
}

TEST(OutcomeBox, RefusedNamesTheUsualWindowsDirectoryAndTheFolderWhereTheCopyWas) {
  recording_platform::Script script;
  script.environment_value = "E:\\OtherWin";
  script.deletion_request_accepted = false;
  for (const char* folder : {uninstall::kSystem32Folder, uninstall::kSysWow64Folder}) {
    script.opens = {folder == uninstall::kSystem32Folder, true};
    recording_platform::Reset(script);
    uninstall::UninstallScreensaver();
    ASSERT_EQ(1u, recording_platform::Recorded().box_texts.size()) << folder;
    EXPECT_EQ(Compose(RemovalOutcome::Refused, folder), recording_platform::Recorded().box_texts[0]);
  }
}

}  // namespace
