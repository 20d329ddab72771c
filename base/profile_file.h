#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace drv {

// An INI file read and edited by the rules of the Windows profile functions, over its raw bytes:
// - a section starts at a line whose first non-blank character is '[' and that holds a ']';
//   its name is the text between them, blanks trimmed;
// - a key line is any other line with a '='; the key is the text before the first '=', the value
//   the text after it, both trimmed of blanks; lines without '=' are ignored;
// - section and key names match without regard to letter case; the first section of a name is
//   the one that counts, and within it the first key of a name;
// - a value wholly enclosed in a pair of the same quote (' or ") loses them; values are cut to
//   2047 characters, and at a NUL byte;
// - lines end at LF, CR LF or a lone CR.
// Texts in and out are UTF-8. The file is Windows-1251, unless it starts with a UTF-8 byte order
// mark, in which case it is read and written as UTF-8.
// An edit changes only the bytes of the line it writes (or adds lines); everything else,
// including line endings and bytes that are no valid text, stays exactly as it was.
class ProfileFile {
 public:
  static constexpr std::size_t kMaxValueLength = 2047;

  ProfileFile() = default;
  explicit ProfileFile(std::string bytes);

  // The file's bytes; a missing file reads as empty. Throws std::system_error when the file
  // exists and cannot be read.
  static ProfileFile Load(const std::string& path);
  // Like Load, but any failure gives an empty profile.
  static ProfileFile LoadOrEmpty(const std::string& path) noexcept;

  // Missing section or key gives the default; a key with nothing after '=' gives "".
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  // Decimal with optional sign, or hexadecimal after "$", "0x" or "0X" (up to 32 bits, which
  // wrap to negative numbers); any other text gives the default.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t defaultValue) const;
  // Read as an integer: 0 is false, any other integer true, no integer gives the default.
  bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;

  // Replaces the value of the key's line in place, or adds the key at the end of its section, or
  // adds the section at the end of the file. Throws std::invalid_argument for a value holding a
  // line break or a NUL byte, which would break the file's structure.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);

  const std::string& Bytes() const { return bytes_; }
  bool IsUtf8() const { return utf8_; }

 private:
  struct Line {
    std::size_t begin = 0;      // first byte of the line
    std::size_t end = 0;        // one past its last byte before the line end
    std::size_t nextBegin = 0;  // first byte after the line end
    enum class Kind { kOther, kSection, kKey } kind = Kind::kOther;
    std::string name;            // section or key name, in the file's encoding
    std::size_t valueBegin = 0;  // key lines: first byte after '='
  };
  struct KeyMatch {
    std::optional<std::size_t> sectionLine;
    std::optional<std::size_t> keyLine;
    std::size_t lastSectionLine = 0;  // last non-blank line of the section (or its header)
  };

  void Parse();
  KeyMatch Find(std::string_view section, std::string_view key) const;
  std::string Encode(std::string_view utf8) const;
  std::string Decode(std::string_view fileText) const;
  std::string_view LineEnding() const;
  std::optional<std::string_view> RawValue(std::string_view section, std::string_view key) const;

  std::string bytes_;
  bool utf8_ = false;
  std::size_t contentBegin_ = 0;  // after a byte order mark
  std::vector<Line> lines_;
};

// Parses an integer by the profile rules above; nullopt when the text is no integer.
std::optional<int32_t> ParseProfileInteger(std::string_view text);

}  // namespace drv
