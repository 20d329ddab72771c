// drvtirval-station as a program: a small reader on the other end of its pseudo-terminal answers
// each frame as told, and the tool's transmissions and summary must follow.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/hex_text.h"
#include "receiver/frame_decoder.h"
#include "tests/fakes/temp_dir.h"
#include "tools/station/station_stats.h"

extern char** environ;

namespace drv {
namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Safety bound for a whole run; tests never assert on how long anything took.
constexpr auto kSafetyBound = std::chrono::seconds(30);
const std::string kStation = std::string(DRV_BIN_DIR) + "/drvtirval-station";

// What the reader does with the n-th frame it sees.
enum class Answer { kAck, kRefuse, kSilence, kAsDriver };

struct StationOutcome {
  int exitCode = -1;
  std::string out;
  std::string err;
  std::vector<Bytes> frames;  // line bytes of every frame seen, start byte to end mark
  Bytes lineBytes;            // everything that came over the line
};

void SetRaw(int fd) {
  termios settings{};
  ASSERT_EQ(tcgetattr(fd, &settings), 0);
  cfmakeraw(&settings);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
}

// Runs the station with `args`. With --pty among them, the reader opens the announced path (or
// `openPath` when given) and answers the frames: `answers[i]` for frame i, the last answer for
// all later ones. `onFrame` may act after each frame (the count of frames so far).
class StationRunner {
 public:
  StationOutcome Start(const std::vector<std::string>& args,
                       std::vector<Answer> answers = {Answer::kAck}, std::string openPath = {},
                       std::function<void(int, pid_t)> onFrame = {}) {
    StationOutcome run;
    int out[2];
    int err[2];
    EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = {kStation};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, kStation.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    EXPECT_EQ(spawned, 0) << kStation;

    const auto deadline = std::chrono::steady_clock::now() + kSafetyBound;
    int line = -1;
    Bytes pending;
    bool outOpen = true;
    bool errOpen = true;
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
      if (line < 0 && run.out.find('\n') != std::string::npos && run.out.starts_with("pty ")) {
        const std::string path =
            openPath.empty() ? run.out.substr(4, run.out.find('\n') - 4) : openPath;
        line = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(line, 0) << path;
        if (line >= 0) SetRaw(line);
      }
      pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {line, POLLIN, 0}};
      if (!outOpen) fds[0].fd = -1;
      if (!errOpen) fds[1].fd = -1;
      poll(fds, 3, 100);
      char buffer[4096];
      for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
        } else {
          (i == 0 ? outOpen : errOpen) = false;
        }
      }
      if (line >= 0 && (fds[2].revents & POLLIN) != 0) {
        const ssize_t n = read(line, buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i) {
          const auto byte = static_cast<uint8_t>(buffer[i]);
          run.lineBytes.push_back(byte);
          if (byte == 0x01) pending.clear();
          pending.push_back(byte);
          if ((byte & 0x03) != 0x03 || pending.front() != 0x01) continue;
          run.frames.push_back(pending);
          const std::size_t index = run.frames.size() - 1;
          Reply(line, answers[std::min(index, answers.size() - 1)], pending);
          pending.clear();
          if (onFrame) onFrame(static_cast<int>(run.frames.size()), pid);
        }
      }
    }
    int status = 0;
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "the station did not finish within the safety bound";
      kill(pid, SIGKILL);
    }
    waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    close(out[0]);
    close(err[0]);
    if (line >= 0) close(line);
    return run;
  }

 private:
  static void Reply(int fd, Answer answer, const Bytes& frame) {
    uint8_t reply = 0;
    switch (answer) {
      case Answer::kAck:
        reply = kReplyAccepted;
        break;
      case Answer::kRefuse:
        reply = kReplyBadChecksum;
        break;
      case Answer::kSilence:
        return;
      case Answer::kAsDriver: {
        const DecodedFrame decoded = DecodeNibbles(Bytes(frame.begin() + 1, frame.end() - 1));
        reply = ReplyFor(decoded.View());
        break;
      }
    }
    ASSERT_EQ(write(fd, &reply, 1), 1);
  }
};

// The summary's counts by name.
std::map<std::string, int> Summary(const std::string& out) {
  std::map<std::string, int> counts;
  const auto start = out.rfind("summary ");
  if (start == std::string::npos) return counts;
  std::istringstream words(out.substr(start + 8, out.find('\n', start) - start - 8));
  std::string name;
  std::string value;
  while (words >> name >> value && name != "latency") counts[name] = std::stoi(value);
  return counts;
}

std::vector<std::string> Replies(const std::string& out) {
  std::vector<std::string> replies;
  const std::regex frameLine(R"(frame \d+ try \d+ reply (05|07|none) after \d+ ms: )");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, frameLine)) replies.push_back(match[1]);
  }
  return replies;
}

const std::vector<std::string> kReport = {"report", "--object", "1234",        "--code", "130",
                                          "--zone", "5",        "--partition", "1"};

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

struct RetryCase {
  const char* name;
  std::vector<Answer> answers;
  std::vector<std::string> extraArgs;
  std::vector<std::string> replies;  // as the station prints them
  std::map<std::string, int> summary;
  int exitCode;
};

TEST(StationTool, ResendsOnRefusalOrSilenceAndCountsEveryTransmission) {
  const RetryCase cases[] = {
      {"accepted at once",
       {Answer::kAck},
       {},
       {"05"},
       {{"frames", 1},
        {"sent", 1},
        {"acknowledged", 1},
        {"refused", 0},
        {"unanswered", 0},
        {"given-up", 0}},
       0},
      {"refused twice",
       {Answer::kRefuse, Answer::kRefuse, Answer::kAck},
       {},
       {"07", "07", "05"},
       {{"frames", 1},
        {"sent", 3},
        {"acknowledged", 1},
        {"refused", 2},
        {"unanswered", 0},
        {"given-up", 0}},
       0},
      {"silence, then accepted",
       {Answer::kSilence, Answer::kAck},
       {"--retry-interval", "1500"},
       {"none", "05"},
       {{"frames", 1},
        {"sent", 2},
        {"acknowledged", 1},
        {"refused", 0},
        {"unanswered", 1},
        {"given-up", 0}},
       0},
      {"always refused",
       {Answer::kRefuse},
       {"--retries", "2"},
       {"07", "07", "07"},
       {{"frames", 1},
        {"sent", 3},
        {"acknowledged", 0},
        {"refused", 3},
        {"unanswered", 0},
        {"given-up", 1}},
       1},
      {"no resends allowed",
       {Answer::kRefuse, Answer::kAck},
       {"--retries", "0", "--count", "2"},
       {"07", "05"},
       {{"frames", 2},
        {"sent", 2},
        {"acknowledged", 1},
        {"refused", 1},
        {"unanswered", 0},
        {"given-up", 1}},
       1},
  };
  for (const RetryCase& c : cases) {
    SCOPED_TRACE(c.name);
    const StationOutcome run = StationRunner().Start(
        With(With({"--pty", "--retry-interval", "20000"}, c.extraArgs), kReport), c.answers);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    EXPECT_EQ(Replies(run.out), c.replies) << run.out;
    for (const auto& [name, count] : c.summary) EXPECT_EQ(Summary(run.out)[name], count) << name;
    ASSERT_EQ(run.frames.size(), c.replies.size());
    for (const Bytes& frame : run.frames) EXPECT_EQ(frame, run.frames.front()) << "same resend";
  }
}

TEST(StationTool, SendsTheReportItWasAskedFor) {
  const StationOutcome run = StationRunner().Start(With({"--pty"}, kReport), {Answer::kAsDriver});
  ASSERT_EQ(run.frames.size(), 1u);
  const Bytes& frame = run.frames[0];
  const DecodedFrame decoded = DecodeNibbles(Bytes(frame.begin() + 1, frame.end() - 1));
  EXPECT_EQ(CompactHex(decoded.View()), "F20000100004D200300082050170");
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("message 1: report --object 1234 --code 130"));
}

TEST(StationTool, SpoilsFramesOnRequest) {
  {
    SCOPED_TRACE("bad checksum");
    const StationOutcome run = StationRunner().Start(
        With({"--pty", "--bad-checksum", "--retries", "1"}, kReport), {Answer::kAsDriver});
    EXPECT_EQ(Replies(run.out), (std::vector<std::string>{"07", "07"})) << run.out;
    EXPECT_EQ(Summary(run.out)["given-up"], 1);
    EXPECT_EQ(run.exitCode, 1);
  }
  {
    SCOPED_TRACE("no end mark");
    const StationOutcome run = StationRunner().Start(
        With({"--pty", "--no-end-mark", "--retries", "1", "--retry-interval", "300"}, kReport));
    EXPECT_TRUE(run.frames.empty());
    EXPECT_EQ(std::count(run.lineBytes.begin(), run.lineBytes.end(), 0x01), 2);
    EXPECT_TRUE(std::none_of(run.lineBytes.begin(), run.lineBytes.end(),
                             [](uint8_t b) { return (b & 0x03) == 0x03; }));
    EXPECT_EQ(Summary(run.out)["unanswered"], 2);
    EXPECT_EQ(run.exitCode, 1);
  }
  {
    SCOPED_TRACE("noise before the frame");
    const StationOutcome run = StationRunner().Start(
        With({"--pty", "--noise", "40", "--seed", "5"}, kReport), {Answer::kAsDriver});
    ASSERT_GE(run.lineBytes.size(), 40u);
    const auto start = std::find(run.lineBytes.begin(), run.lineBytes.end(), 0x01);
    EXPECT_EQ(start - run.lineBytes.begin(), 40);
    EXPECT_EQ(Replies(run.out), (std::vector<std::string>{"05"})) << run.out;
    EXPECT_EQ(run.exitCode, 0);
  }
}

TEST(StationTool, RunsAScriptWithSleepsAndPerLineFaults) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.File("alarms.txt"),
                          "# two alarms\n"
                          "raw F2 0E\n"
                          "\n"
                          "sleep 20   # let the line settle\n"
                          "block object 301 code 64 extra 01,81 --bad-checksum\n");
  const StationOutcome run = StationRunner().Start(
      {"--pty", "--retries", "0", "--script", dir.File("alarms.txt")}, {Answer::kAsDriver});
  EXPECT_EQ(Replies(run.out), (std::vector<std::string>{"05", "07"})) << run.out << run.err;
  EXPECT_EQ(Summary(run.out)["frames"], 2);
  EXPECT_EQ(run.exitCode, 1);
}

TEST(StationTool, LinkPointsAtThePtyWhileItRuns) {
  testing::TempDir dir;
  const std::string link = dir.File("station-tty");
  const StationOutcome run =
      StationRunner().Start(With({"--pty", "--link", link}, kReport), {Answer::kAck}, link);
  EXPECT_EQ(Replies(run.out), (std::vector<std::string>{"05"})) << run.out << run.err;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(StationTool, RandomStreamEndsWithASummaryOnSigterm) {
  const StationOutcome run =
      StationRunner().Start({"--pty", "--random", "50", "--seed", "9"}, {Answer::kAsDriver}, {},
                            [](int frames, pid_t pid) {
                              if (frames == 5) kill(pid, SIGTERM);
                            });
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  const auto summary = Summary(run.out);
  ASSERT_FALSE(summary.empty()) << run.out;
  EXPECT_GE(summary.at("acknowledged"), 4);
  EXPECT_EQ(summary.at("refused"), 0);
  EXPECT_EQ(summary.at("given-up"), 0);
}

TEST(StationTool, AnswersHelpAndVersionAndRejectsBadArguments) {
  testing::TempDir dir;
  testing::WriteFileBytes(dir.File("bad.txt"), "raw F2 0E\nreport --object 1\n");
  {
    const StationOutcome help = StationRunner().Start({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_THAT(help.out, StartsWith("Usage: drvtirval-station"));
    const StationOutcome version = StationRunner().Start({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("drvtirval-station ") + DRV_VERSION_TEXT + "\n");
  }
  const std::vector<std::vector<std::string>> bad = {
      {"--pty"},
      {"raw", "00"},
      {"--pty", "--device", "/dev/null", "raw", "00"},
      {"--device", "/dev/null", "--link", dir.File("x"), "raw", "00"},
      {"--pty", "--baud", "12345", "raw", "00"},
      {"--pty", "--retries", "-1", "raw", "00"},
      {"--pty", "--frobnicate", "raw", "00"},
      {"--pty", "--end-mark", "41", "raw", "00"},
      {"--pty", "--random", "0"},
      {"--pty", "--random", "5", "raw", "00"},
      {"--pty", "report", "--object", "x"},
      {"--pty", "--script", dir.File("missing.txt")},
      {"--pty", "--script", dir.File("bad.txt")},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& arg : args) joined += arg + ' ';
    SCOPED_TRACE(joined);
    const StationOutcome run = StationRunner().Start(args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_THAT(run.err, HasSubstr("drvtirval-station: "));
    EXPECT_TRUE(run.out.empty()) << "nothing sent: " << run.out;
  }
}

TEST(StationStats, NearestRankPercentiles) {
  struct Case {
    std::vector<int64_t> values;
    double percent;
    std::optional<int64_t> expected;
  };
  const Case cases[] = {
      {{}, 50, std::nullopt},
      {{7}, 99, 7},
      {{3, 1, 2}, 50, 2},
      {{1, 2, 3, 4}, 50, 2},
      {{1, 2, 3, 4}, 51, 3},
      {{5, 1, 9}, 100, 9},
      {std::vector<int64_t>(99, 1), 99, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.percent);
    EXPECT_EQ(station::Percentile(c.values, c.percent), c.expected);
  }
  std::vector<int64_t> hundred(100, 1);
  hundred.back() = 500;
  EXPECT_EQ(station::Percentile(hundred, 99), 1);
  EXPECT_EQ(station::Percentile(hundred, 100), 500);
}

}  // namespace
}  // namespace drv
