#include "tests/unit/recording_platform.h"

#include "platform/platform.h"

namespace recording_platform {
namespace {

Recording recording;
// The only handle the fake hands out, so that a close of anything else shows.
int open_file;

}  // namespace

void Reset(const Script& script) { recording = Recording{script, {}, {}, {}, 0}; }
const Recording& Recorded() { return recording; }

}  // namespace recording_platform

namespace platform {

using recording_platform::open_file;
using recording_platform::recording;

const char* LookUpEnvironmentVariable(const char* name) {
  recording.calls.push_back("LookUpEnvironmentVariable(" + std::string(name) + ")");
  return recording.script.environment_value ? recording.script.environment_value->c_str() : nullptr;
}

FileHandle OpenFileForReading(const char* path) {
  recording.calls.push_back("OpenFileForReading(" + std::string(path) + ")");
  const std::vector<bool>& opens = recording.script.opens;
  const unsigned asked = recording.opens_asked++;
  return asked < opens.size() && opens[asked] ? &open_file : nullptr;
}

void CloseFile(FileHandle file) {
  recording.calls.push_back(file == &open_file ? "CloseFile(opened file)" : "CloseFile(unknown handle)");
}

bool SetFileAttributeBits(const char* path, unsigned attributes) {
  recording.calls.push_back("SetFileAttributeBits(" + std::string(path) + ", " +
                            std::to_string(attributes) + ")");
  return recording.script.set_attributes_succeeds;
}

bool RequestDeletionAtRestart(const char* path) {
  recording.calls.push_back("RequestDeletionAtRestart(" + std::string(path) + ")");
  return recording.script.deletion_request_accepted;
}

bool WindowStationIsVisible() {
  recording.calls.push_back("WindowStationIsVisible()");
  return recording.script.window_station_visible;
}

void ShowMessageBox(const char* text, const char* caption, unsigned style) {
  recording.calls.push_back("ShowMessageBox(style " + std::to_string(style) + ")");
  recording.box_texts.push_back(text);
  recording.box_captions.push_back(caption);
}

}  // namespace platform
