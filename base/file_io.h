#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace drv {

// Files by path, the same calls on every platform, over the machine's file system
// (file_system.h). Paths are UTF-8 text. A missing file or directory is reported as
// std::errc::no_such_file_or_directory on every platform; other failures carry the system's own
// code.

// The whole regular file's bytes; nullopt with `error` set when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path, std::error_code& error);

enum class AppendMode {
  kAsIs,
  // A line end (CR LF) goes first when the file's last byte is none, so that the bytes start a
  // line of their own; a file that may only be written to is appended to as it is.
  kOnOwnLine,
};

// Appends `bytes` with one write, so that a line stays whole beside other writers; creates the
// file when missing, never its directory. Opens and closes the file. False with `error` set on
// any failure, the close included (it can report a delayed write error).
bool AppendToFile(const std::string& path, std::string_view bytes, AppendMode mode,
                  std::error_code& error);

// Replaces the file at `path` (or creates it) by one holding `bytes`, so that a crash leaves
// either the old or the new file, never a mixture: a temporary file beside it, flushed to the
// disk, renamed over the old one. The replaced file's permissions stay; a file that may not be
// written is not replaced. Throws std::system_error, the file then being unchanged.
void ReplaceFileAtomically(const std::string& path, const std::string& bytes);

bool IsDirectory(const std::string& path);

// The names in a directory, "." and ".." left out, in no particular order; nullopt with `error`
// set when the directory cannot be read.
std::optional<std::vector<std::string>> ListDirectory(const std::string& path,
                                                      std::error_code& error);

// The size of a regular file; nullopt for a missing file, a directory or a device.
std::optional<uint64_t> RegularFileSize(const std::string& path);

// The process's working directory; empty with `error` set when it cannot be read.
std::string CurrentDirectory(std::error_code& error);

}  // namespace drv
