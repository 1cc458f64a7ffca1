#pragma once

// A platform for the host tests: it answers each operation from a script and
// writes down every call, in order, with its arguments.

#include <optional>
#include <string>
#include <vector>

namespace recording_platform {

struct Script {
  std::optional<std::string> environment_value = "C:\\WINDOWS";  // nullopt: unset
  // What each open answers, in the order they are asked; any beyond fail.
  std::vector<bool> opens = {true};
  bool set_attributes_succeeds = true;
  bool deletion_request_accepted = true;
  bool window_station_visible = true;
};

// Each call as "Operation(arg, arg)", for readable comparisons and failures.
struct Recording {
  Script script;
  std::vector<std::string> calls;
  // Message boxes shown, text and caption byte for byte.
  std::vector<std::string> box_texts;
  std::vector<std::string> box_captions;
  unsigned opens_asked = 0;
};

// Clears the record and sets the script for the next run.
void Reset(const Script& script);
const Recording& Recorded();

}  // namespace recording_platform
