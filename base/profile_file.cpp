#include "base/profile_file.h"

#include <limits>
#include <stdexcept>
#include <system_error>

#include "base/cp1251.h"
#include "base/file_io.h"

namespace drv {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Letter case folded over Windows-1251: Latin and Cyrillic capitals to small letters.
std::string FoldCase(std::string_view cp1251) {
  std::string folded(cp1251);
  for (char& c : folded) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 'A' && byte <= 'Z') {
      c = static_cast<char>(byte + 0x20);
    } else if (byte >= 0xC0 && byte <= 0xDF) {
      c = static_cast<char>(byte + 0x20);
    } else if (byte == 0xA8) {  // Ё
      c = static_cast<char>(0xB8);
    }
  }
  return folded;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<int32_t> ParseProfileInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  bool hex = false;
  if (text.starts_with('$')) {
    hex = true;
    text.remove_prefix(1);
  } else if (text.starts_with("0x") || text.starts_with("0X")) {
    hex = true;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;

  uint64_t magnitude = 0;
  for (const char c : text) {
    const int digit = hex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (digit < 0) return std::nullopt;
    magnitude = magnitude * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    if (magnitude > 0xFFFFFFFFu) return std::nullopt;
  }
  if (hex) {
    // Hexadecimal spells the 32 bits, so $FFFFFFFF is -1.
    uint32_t bits = static_cast<uint32_t>(magnitude);
    if (negative) bits = 0u - bits;
    return static_cast<int32_t>(bits);
  }
  const uint64_t limit = negative ? 2147483648u : 2147483647u;
  if (magnitude > limit) return std::nullopt;
  const int64_t value =
      negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return static_cast<int32_t>(value);
}

ProfileFile::ProfileFile(std::string bytes) : bytes_(std::move(bytes)) {
  Parse();
}

ProfileFile ProfileFile::Load(const std::string& path) {
  std::error_code error;
  std::optional<std::string> bytes = ReadWholeFile(path, error);
  if (!bytes) {
    if (error == std::errc::no_such_file_or_directory) return ProfileFile();
    throw std::system_error(error, "read " + path);
  }
  return ProfileFile(std::move(*bytes));
}

ProfileFile ProfileFile::LoadOrEmpty(const std::string& path) noexcept {
  try {
    return Load(path);
  } catch (...) {
    return ProfileFile();
  }
}

void ProfileFile::Parse() {
  lines_.clear();
  utf8_ = std::string_view(bytes_).starts_with(kUtf8Bom);
  contentBegin_ = utf8_ ? kUtf8Bom.size() : 0;

  std::size_t pos = contentBegin_;
  const std::size_t size = bytes_.size();
  while (pos < size) {
    Line line;
    line.begin = pos;
    std::size_t end = pos;
    while (end < size && bytes_[end] != '\n' && bytes_[end] != '\r') ++end;
    line.end = end;
    if (end < size) {
      line.nextBegin = end + 1;
      if (bytes_[end] == '\r' && end + 1 < size && bytes_[end + 1] == '\n') ++line.nextBegin;
    } else {
      line.nextBegin = end;
    }

    const std::string_view text(bytes_.data() + line.begin, line.end - line.begin);
    const std::string_view trimmed = Trim(text);
    const std::size_t close = trimmed.find(']');
    if (trimmed.starts_with('[') && close != std::string_view::npos) {
      line.kind = Line::Kind::kSection;
      line.name = Trim(trimmed.substr(1, close - 1));
    } else if (const std::size_t equals = text.find('='); equals != std::string_view::npos) {
      line.kind = Line::Kind::kKey;
      line.name = Trim(text.substr(0, equals));
      line.valueBegin = line.begin + equals + 1;
    }
    lines_.push_back(std::move(line));
    pos = lines_.back().nextBegin;
  }
}

ProfileFile::KeyMatch ProfileFile::Find(std::string_view section, std::string_view key) const {
  const std::string wantedSection = FoldCase(Utf8ToCp1251(section));
  const std::string wantedKey = FoldCase(Utf8ToCp1251(key));
  const auto folded = [this](const std::string& name) {
    return FoldCase(utf8_ ? Utf8ToCp1251(name) : name);
  };

  KeyMatch match;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (line.kind == Line::Kind::kSection) {
      if (match.sectionLine) break;  // the first section of the name is the one that counts
      if (folded(line.name) == wantedSection) {
        match.sectionLine = i;
        match.lastSectionLine = i;
      }
      continue;
    }
    if (!match.sectionLine) continue;
    if (!Trim(std::string_view(bytes_).substr(line.begin, line.end - line.begin)).empty()) {
      match.lastSectionLine = i;
    }
    if (line.kind == Line::Kind::kKey && !match.keyLine && folded(line.name) == wantedKey) {
      match.keyLine = i;
    }
  }
  return match;
}

std::optional<std::string_view> ProfileFile::RawValue(std::string_view section,
                                                      std::string_view key) const {
  const KeyMatch match = Find(section, key);
  if (!match.keyLine) return std::nullopt;
  const Line& line = lines_[*match.keyLine];
  std::string_view value =
      Trim(std::string_view(bytes_).substr(line.valueBegin, line.end - line.valueBegin));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  // The profile functions hand back C strings.
  if (const std::size_t nul = value.find('\0'); nul != std::string_view::npos) {
    value = value.substr(0, nul);
  }
  if (!utf8_) {
    if (value.size() > kMaxValueLength) value = value.substr(0, kMaxValueLength);
  } else {
    // Count characters, not bytes: cut before the lead byte of character 2048.
    std::size_t characters = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if ((static_cast<unsigned char>(value[i]) & 0xC0) != 0x80 && ++characters > kMaxValueLength) {
        value = value.substr(0, i);
        break;
      }
    }
  }
  return value;
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
  const auto value = RawValue(section, key);
  if (!value) return std::string(defaultValue);
  return Decode(*value);
}

int32_t ProfileFile::ReadInteger(std::string_view section, std::string_view key,
                                 int32_t defaultValue) const {
  const auto value = RawValue(section, key);
  if (!value) return defaultValue;
  return ParseProfileInteger(*value).value_or(defaultValue);
}

bool ProfileFile::ReadBool(std::string_view section, std::string_view key,
                           bool defaultValue) const {
  return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::string ProfileFile::Encode(std::string_view utf8) const {
  return utf8_ ? std::string(utf8) : Utf8ToCp1251(utf8);
}

std::string ProfileFile::Decode(std::string_view fileText) const {
  return utf8_ ? std::string(fileText) : Cp1251ToUtf8(fileText);
}

std::string_view ProfileFile::LineEnding() const {
  for (const Line& line : lines_) {
    if (line.nextBegin > line.end) {
      return std::string_view(bytes_).substr(line.end, line.nextBegin - line.end);
    }
  }
  return "\r\n";
}

void ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
  for (const std::string_view text : {section, key, value}) {
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
      throw std::invalid_argument("a profile text cannot hold a line break or a NUL byte");
    }
  }
  if (section.find(']') != std::string_view::npos || key.find('=') != std::string_view::npos ||
      Trim(key).starts_with('[')) {
    throw std::invalid_argument(
        "a section name cannot hold ']', nor a key name '=' or a leading '['");
  }
  const std::string encoded = Encode(value);
  const std::string_view eol = LineEnding();
  const KeyMatch match = Find(section, key);

  if (match.keyLine) {
    // Only the value between its surrounding blanks changes.
    const Line& line = lines_[*match.keyLine];
    std::size_t from = line.valueBegin;
    while (from < line.end && IsBlank(bytes_[from])) ++from;
    std::size_t to = line.end;
    while (to > from && IsBlank(bytes_[to - 1])) --to;
    bytes_.replace(from, to - from, encoded);
  } else if (match.sectionLine) {
    const Line& last = lines_[match.lastSectionLine];
    std::string entry = Encode(key) + "=" + encoded;
    if (last.nextBegin > last.end) {
      bytes_.insert(last.nextBegin, entry.append(eol));
    } else {
      bytes_.insert(last.end, std::string(eol) + entry);  // last line of a file without a line end
    }
  } else {
    std::string addition;
    if (bytes_.size() > contentBegin_ && bytes_.back() != '\n' && bytes_.back() != '\r') {
      addition = eol;
    }
    addition.append("[").append(Encode(section)).append("]").append(eol);
    addition.append(Encode(key)).append("=").append(encoded).append(eol);
    bytes_ += addition;
  }
  Parse();
}

}  // namespace drv
