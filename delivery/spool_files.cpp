#include "delivery/spool_files.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <tuple>

#include "base/paths.h"
#include "delivery/message_types.h"

namespace drv {
namespace {

bool EndsWithIgnoringCase(std::string_view text, std::string_view end) {
  if (text.size() < end.size()) return false;
  return std::equal(end.begin(), end.end(), text.end() - static_cast<std::ptrdiff_t>(end.size()),
                    [](char a, char b) {
                      const auto lower = [](char c) {
                        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
                      };
                      return lower(a) == lower(b);
                    });
}

struct SpoolOrderKey {
  int64_t modifiedNs;
  uint64_t moment;  // the name's hexadecimal number; past every real one when unreadable
  uint64_t suffix;
  const std::string* name;

  bool operator<(const SpoolOrderKey& other) const {
    return std::tie(modifiedNs, moment, suffix, *name) <
           std::tie(other.modifiedNs, other.moment, other.suffix, *other.name);
  }
};

SpoolOrderKey OrderKey(const FoundSpoolFile& file, std::string_view namePrefix) {
  const SpoolNameOrder order = SpoolNameOrderOf(file.name, namePrefix);
  return {file.modifiedNs, order.moment, order.suffix, &file.name};
}

}  // namespace

// Reads "[prefix]HEX[-N].dd8"; a name of another shape sorts after the readable ones.
SpoolNameOrder SpoolNameOrderOf(std::string_view name, std::string_view namePrefix) {
  constexpr uint64_t kUnreadable = UINT64_MAX;
  SpoolNameOrder key{kUnreadable, 0};
  std::string_view stem = name;
  if (!IsSpoolFileName(stem, namePrefix)) return key;
  stem =
      stem.substr(namePrefix.size(), stem.size() - namePrefix.size() - kSpoolFileExtension.size());
  const std::size_t dash = stem.rfind('-');
  const std::string_view moment = stem.substr(0, dash);
  uint64_t suffix = 0;
  if (dash != std::string_view::npos) {
    const std::string_view digits = stem.substr(dash + 1);
    if (digits.empty() || digits.size() > 9) return key;
    for (const char c : digits) {
      if (c < '0' || c > '9') return key;
      suffix = suffix * 10 + static_cast<uint64_t>(c - '0');
    }
  }
  uint64_t value = 0;
  if (moment.size() > 8) return key;
  for (const char c : moment) {
    const int digit = (c >= '0' && c <= '9')   ? c - '0'
                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                      : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                               : -1;
    if (digit < 0) return key;
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  key.moment = value;
  key.suffix = suffix;
  return key;
}

std::optional<CompactSpoolName> CompactFromSpoolName(std::string_view name) {
  if (!name.ends_with(kSpoolFileExtension)) return std::nullopt;
  const std::string_view stem = name.substr(0, name.size() - kSpoolFileExtension.size());
  const std::size_t dash = stem.find('-');
  const std::string_view hex = stem.substr(0, dash);
  if (hex.empty() || hex.size() > 8 || (hex[0] == '0' && hex.size() > 1)) return std::nullopt;
  CompactSpoolName compact;
  for (const char c : hex) {
    const int digit = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (digit < 0) return std::nullopt;
    compact.moment = compact.moment * 16 + static_cast<uint32_t>(digit);
  }
  if (dash == std::string_view::npos) return compact;
  const std::string_view digits = stem.substr(dash + 1);
  if (digits.empty() || digits.size() > 5 || digits[0] == '0') return std::nullopt;
  uint32_t suffix = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    suffix = suffix * 10 + static_cast<uint32_t>(c - '0');
  }
  if (suffix > UINT16_MAX) return std::nullopt;
  compact.suffix = static_cast<uint16_t>(suffix);
  return compact;
}

std::string SpoolNameFromCompact(CompactSpoolName name) {
  char text[24];
  if (name.suffix == 0) {
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(name.moment));
  } else {
    std::snprintf(text, sizeof text, "%X-%u", static_cast<unsigned>(name.moment),
                  static_cast<unsigned>(name.suffix));
  }
  return std::string(text) + std::string(kSpoolFileExtension);
}

bool IsSpoolTemporaryName(std::string_view name) {
  return name.starts_with(".spool-") && name.ends_with(".tmp");
}

std::string SpoolFileName(const CivilTime& t) {
  if (t.day < 1 || t.day > 31 || t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 ||
      t.second < 0 || t.second > 59 || t.millisecond < 0 || t.millisecond > 999) {
    throw std::out_of_range("time of day or day of month out of range");
  }
  const uint32_t seconds = static_cast<uint32_t>(t.day) * 86400u +
                           static_cast<uint32_t>(t.hour) * 3600u +
                           static_cast<uint32_t>(t.minute) * 60u + static_cast<uint32_t>(t.second);
  const uint32_t milliseconds = seconds * 1000u + static_cast<uint32_t>(t.millisecond);
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(milliseconds));
  return std::string(text) + std::string(kSpoolFileExtension);
}

std::string_view SpoolReadErrorText(SpoolReadError error) {
  switch (error) {
    case SpoolReadError::kNone:
      return "no error";
    case SpoolReadError::kNotFound:
      return "not found";
    case SpoolReadError::kCannotOpen:
      return "cannot be opened";
    case SpoolReadError::kNotRegularFile:
      return "not a regular file";
    case SpoolReadError::kEmpty:
      return "empty";
    case SpoolReadError::kTooShort:
      return "shorter than 4 bytes";
    case SpoolReadError::kTooLarge:
      return "larger than a spool file can be";
    case SpoolReadError::kReadFailed:
      return "read failed";
  }
  return "unknown error";
}

std::optional<SpoolFileContent> ParseSpoolFileBytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  SpoolFileContent content;
  content.type = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                 static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  content.payload.assign(bytes.begin() + 4, bytes.end());
  return content;
}

std::vector<uint8_t> SpoolFileBytes(uint32_t type, std::span<const uint8_t> payload) {
  std::vector<uint8_t> bytes;
  bytes.reserve(4 + payload.size());
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(type >> shift));
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

std::vector<uint8_t> SpoolFileBytes(const EventRecordBytes& record) {
  return SpoolFileBytes(MsgEventRecord, record);
}

SpoolLocation SplitSpoolPrefix(const std::string& spoolPrefix) {
  std::size_t split = spoolPrefix.size();
  while (split > 0 && !IsPathSeparator(spoolPrefix[split - 1])) --split;
  return {spoolPrefix.substr(0, split), spoolPrefix.substr(split)};
}

bool IsSpoolFileName(std::string_view name, std::string_view namePrefix) {
  return name.size() >= namePrefix.size() + kSpoolFileExtension.size() &&
         name.starts_with(namePrefix) && EndsWithIgnoringCase(name, kSpoolFileExtension);
}

void SortInSpoolOrder(std::vector<FoundSpoolFile>& files, std::string_view namePrefix) {
  std::vector<std::pair<SpoolOrderKey, std::size_t>> keys;
  keys.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i)
    keys.emplace_back(OrderKey(files[i], namePrefix), i);
  std::sort(keys.begin(), keys.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<FoundSpoolFile> sorted;
  sorted.reserve(files.size());
  for (const auto& [key, index] : keys) sorted.push_back(std::move(files[index]));
  files = std::move(sorted);
}

}  // namespace drv
