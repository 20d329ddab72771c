// Arbitrary bytes as the settings file: every read must cope, and a ComPort save must change
// nothing but the one key it writes. Input layout: the whole input is the file; its length picks
// the port name written.

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>

#include "app/driver_settings.h"

namespace {

using namespace drv;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "settings_fuzz: %s\n", what);
    std::abort();
  }
}

const std::string& FilePath() {
  static const std::string path = [] {
    std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    pattern += "/settings-fuzz-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr, "mkdtemp failed");
    return SettingsPath(pattern);
  }();
  return path;
}

void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  Check(out.good(), "cannot write the input file");
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.append(buffer, static_cast<std::size_t>(in.gcount()));
  }
  return bytes;
}

struct Everything {
  DriverSettings settings;
  StartupTexts texts;
  ServerEndpoint endpoint;
  std::optional<std::string> device;
};

Everything ReadEverything(const std::string& path) {
  Everything all;
  all.texts = ReadDriverSettings(path, all.settings);
  all.endpoint = ReadServerEndpoint(path);
  all.device = ReadDevicePath(path, "COM1");
  return all;
}

bool IsLineEnd(char c) {
  return c == '\n' || c == '\r';
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string FoldedTrimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// The bytes that differ must be the value of one "ComPort" line, or lines added whole.
void CheckOnlyComPortChanged(const std::string& before, const std::string& after,
                             const std::string& portName) {
  std::size_t prefix = 0;
  while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) {
    ++prefix;
  }
  std::size_t suffix = 0;
  while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
    ++suffix;
  }
  const std::string_view removed(before.data() + prefix, before.size() - prefix - suffix);
  const std::string_view added(after.data() + prefix, after.size() - prefix - suffix);

  for (const char c : removed) Check(!IsLineEnd(c), "a line end was removed");
  if (removed.empty()) {
    // Only added bytes: at most a line end, a section header and the key line. Where they went
    // is checked by reading the file back.
    int lineEnds = 0;
    for (const char c : added) lineEnds += IsLineEnd(c) ? 1 : 0;
    Check(lineEnds <= 6, "too many lines added");
    Check(added.size() <= std::string_view("\r\n[main]\r\nComPort=\r\n").size() + portName.size(),
          "too many bytes added");
    return;
  }

  // A value replaced in place: the change lies after the '=' of a ComPort line.
  std::size_t lineBegin = prefix;
  while (lineBegin > 0 && !IsLineEnd(before[lineBegin - 1])) --lineBegin;
  std::size_t lineEnd = prefix;
  while (lineEnd < before.size() && !IsLineEnd(before[lineEnd])) ++lineEnd;
  const std::string_view line(before.data() + lineBegin, lineEnd - lineBegin);
  const std::size_t equals = line.find('=');
  Check(equals != std::string_view::npos, "changed line holds no key");
  Check(lineBegin + equals < prefix, "change begins before the value");
  Check(FoldedTrimmed(line.substr(0, equals)) == "comport", "changed line is not ComPort");
  for (const char c : added) Check(!IsLineEnd(c), "a replaced value added a line end");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string& path = FilePath();
  const std::string before(reinterpret_cast<const char*>(data), size);
  WriteBytes(path, before);

  const Everything old = ReadEverything(path);
  const std::string portName = "COM" + std::to_string(size % 40);
  try {
    SaveComPort(path, portName);
  } catch (const SettingsWriteError&) {
    Check(false, "saving to a writable file failed");
  }
  const std::string after = ReadBytes(path);
  CheckOnlyComPortChanged(before, after, portName);

  const Everything now = ReadEverything(path);
  Check(now.settings.ComPort == portName, "ComPort does not read back");
  Check(now.settings.FirstNumber == old.settings.FirstNumber &&
            now.settings.PathForSoob == old.settings.PathForSoob &&
            now.settings.Attention == old.settings.Attention &&
            now.settings.Log == old.settings.Log &&
            now.settings.SendTorven7 == old.settings.SendTorven7 &&
            now.settings.SendTorven8 == old.settings.SendTorven8,
        "another setting changed");
  Check(now.texts.caption == old.texts.caption && now.texts.baudRate == old.texts.baudRate,
        "a start-up text changed");
  Check(now.endpoint.address == old.endpoint.address && now.endpoint.port == old.endpoint.port,
        "the server endpoint changed");
  Check(now.device == old.device, "a device path changed");

  // Saving the same name again changes nothing.
  SaveComPort(path, portName);
  Check(ReadBytes(path) == after, "a second save of the same name changed the file");
  return 0;
}
