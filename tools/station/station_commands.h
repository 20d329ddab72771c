#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tools/station/station_frames.h"

// The station's readable commands, from the command line or one line of a script:
//   report --object N --code CODE --zone Z --partition P [--qualifier 1|3]
//   block object N | code HH | zone Z | zones Z[,Z...] | extra HH[,HH...]   (any order, repeated)
//   raw HEX... [--no-checksum]
//   sleep MS                                                                 (scripts)
// Each sending command may add --bad-checksum, --no-end-mark and --noise N for itself.
namespace drv::station {

// Ways to spoil a frame on purpose.
struct FrameFaults {
  bool badChecksum = false;
  bool noEndMark = false;
  int noiseBytes = 0;  // before the start byte
};

struct SendCommand {
  StationMessage message;
  FrameFaults faults;
};

struct SleepCommand {
  int milliseconds = 0;
};

using StationCommand = std::variant<SendCommand, SleepCommand>;

// Either a command or a message that says what is wrong with the words.
struct ParsedCommand {
  std::optional<StationCommand> command;
  std::string error;
};

inline constexpr int kMaxNoiseBytes = 4096;

// Parses one command; words[0] is the command name.
ParsedCommand ParseStationCommand(std::span<const std::string> words);

// The words of one script line: blanks separate them and '#' starts a comment.
std::vector<std::string> SplitScriptLine(std::string_view line);

}  // namespace drv::station
