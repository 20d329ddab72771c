#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file_system.h"

namespace drv::testing {

// The calls a FakeFileSystem can be told to fail.
enum class FileOp {
  kCreateNew,
  kOpenForAppending,
  kWrite,
  kSetModifiedTime,
  kFlush,
  kFlushBatch,
  kFlushDirectory,
  kClose,
  kRenameWithoutReplacing,
  kRenameReplacing,
  kRemove,
  kMatchPermissions,
  kOpenForReading,
  kRead,
  kSize,
  kStatus,
  kListDirectory,
  kLock,
};

struct InjectedFailure {
  FileOp op = FileOp::kWrite;
  FileErrorKind kind = FileErrorKind::kIoError;
  // Only calls on this path (for an open file the path it was opened under, for a rename its
  // source, for a directory call the directory as given); "" for calls on any path.
  std::string path;
  // Only the nth of the calls that match, counted from 1; 0 for every one.
  int nthCall = 0;
  int systemCode = 0;
};

// A file system in memory that fails the calls it is told to, and knows what a crash would
// keep: a file's bytes once flushed, a name once its directory is flushed, or the whole file
// system (a batch flush), or at once where renames are written through (a file system without
// batch flushes, as on Windows). Paths use "/"; a file goes only into a directory that exists.
// Every write goes to the end of the file. A failed write leaves half its bytes written.
class FakeFileSystem final : public IFileSystem {
 public:
  explicit FakeFileSystem(bool flushesBatches = true) : flushesBatches_(flushesBatches) {
    for (const char* root : {"", "/"}) entries_[root] = {NewNode(FileType::kDirectory), true};
  }

  // --- Setting up

  void AddDirectory(const std::string& path) {
    entries_[Key(path)] = {NewNode(FileType::kDirectory), true};
  }
  void AddFile(const std::string& path, std::string_view bytes, int64_t modifiedNs = 0) {
    auto node = NewNode(FileType::kRegular);
    node->bytes = bytes;
    node->modifiedNs = modifiedNs;
    node->bytesFlushed = true;
    entries_[Key(path)] = {node, true};
  }
  // Something that is no regular file, such as a pipe.
  void AddSpecialFile(const std::string& path) {
    entries_[Key(path)] = {NewNode(FileType::kOther), true};
  }
  // A file that may not be written, or a directory where no file may be made.
  void SetReadOnly(const std::string& path) { entries_.at(Key(path)).node->readOnly = true; }
  void Fail(InjectedFailure failure) { failures_.push_back({std::move(failure), 0}); }
  void SetOpenFileLimit(std::size_t limit) { openFileLimit_ = limit; }

  // --- Looking at what is there

  bool Exists(const std::string& path) const { return entries_.contains(Key(path)); }
  std::optional<std::string> Contents(const std::string& path) const {
    const auto entry = entries_.find(Key(path));
    if (entry == entries_.end()) return std::nullopt;
    return entry->second.node->bytes;
  }
  // Who may use the file: as it was made, or as MatchPermissions made it since.
  std::optional<NewFileAccess> Access(const std::string& path) const {
    const auto entry = entries_.find(Key(path));
    if (entry == entries_.end()) return std::nullopt;
    return entry->second.node->access;
  }
  std::optional<int64_t> ModifiedTime(const std::string& path) const {
    const auto entry = entries_.find(Key(path));
    if (entry == entries_.end()) return std::nullopt;
    return entry->second.node->modifiedNs;
  }
  // The names in a directory, sorted.
  std::vector<std::string> Names(const std::string& directory) const {
    std::vector<std::string> names;
    for (const auto& [key, entry] : entries_) {
      if (IsIn(key, Key(directory))) names.push_back(NameOf(key));
    }
    return names;
  }
  // Whether the file would be there, whole, after a crash now.
  bool IsDurable(const std::string& path) const {
    const auto entry = entries_.find(Key(path));
    return entry != entries_.end() && entry->second.nameFlushed && entry->second.node->bytesFlushed;
  }
  std::size_t OpenFiles() const { return handles_.size(); }
  std::size_t MostOpenAtOnce() const { return mostOpen_; }

  // --- The file system

  FileResult<OpenFile> CreateNew(const std::string& path, NewFileAccess access) override {
    if (auto failure = Injected(FileOp::kCreateNew, path)) return *failure;
    if (auto refused = RefusedInDirectory(path)) return *refused;
    if (entries_.contains(Key(path))) return Error(FileErrorKind::kAlreadyExists);
    if (handles_.size() >= openFileLimit_) return Error(FileErrorKind::kTooManyOpenFiles);
    auto node = NewNode(FileType::kRegular);
    node->access = access;
    entries_[Key(path)] = {node, false};
    return Open(node, path, false);
  }

  FileResult<OpenFile> OpenForAppending(const std::string& path, bool /*alsoRead*/) override {
    if (auto failure = Injected(FileOp::kOpenForAppending, path)) return *failure;
    const auto entry = entries_.find(Key(path));
    if (entry == entries_.end()) {
      if (auto refused = RefusedInDirectory(path)) return *refused;
      entries_[Key(path)] = {NewNode(FileType::kRegular), false};
    } else if (entry->second.node->type != FileType::kRegular) {
      return Error(FileErrorKind::kNotRegularFile);
    } else if (entry->second.node->readOnly) {
      return Error(FileErrorKind::kAccessDenied);
    }
    if (handles_.size() >= openFileLimit_) return Error(FileErrorKind::kTooManyOpenFiles);
    return Open(entries_.at(Key(path)).node, path, false);
  }

  FileResult<void> WriteAll(const OpenFile& file, std::span<const uint8_t> bytes) override {
    Handle& handle = handles_.at(file.Handle());
    Node& node = *handle.node;
    node.bytesFlushed = false;
    node.modifiedNs = Tick();
    if (auto failure = Injected(FileOp::kWrite, handle.path)) {
      node.bytes.append(bytes.begin(),
                        bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2));
      return *failure;
    }
    node.bytes.append(bytes.begin(), bytes.end());
    return {};
  }

  FileResult<void> SetModifiedTime(const OpenFile& file, int64_t unixNs) override {
    Handle& handle = handles_.at(file.Handle());
    if (auto failure = Injected(FileOp::kSetModifiedTime, handle.path)) return *failure;
    handle.node->modifiedNs = unixNs;
    handle.node->bytesFlushed = false;
    return {};
  }

  FileResult<void> Flush(const OpenFile& file) override {
    Handle& handle = handles_.at(file.Handle());
    if (auto failure = Injected(FileOp::kFlush, handle.path)) return *failure;
    handle.node->bytesFlushed = true;
    return {};
  }

  bool FlushesBatches() const override { return flushesBatches_; }

  FileResult<void> FlushBatch(const std::string& directory) override {
    if (!flushesBatches_) return Error(FileErrorKind::kOther);
    if (auto failure = Injected(FileOp::kFlushBatch, directory)) return *failure;
    for (auto& [key, entry] : entries_) {
      entry.nameFlushed = true;
      entry.node->bytesFlushed = true;
    }
    for (auto& [id, handle] : handles_) handle.node->bytesFlushed = true;
    return {};
  }

  FileResult<void> FlushDirectory(const std::string& directory) override {
    if (auto failure = Injected(FileOp::kFlushDirectory, directory)) return *failure;
    if (!IsDirectory(Key(directory))) return Error(FileErrorKind::kNotFound);
    for (auto& [key, entry] : entries_) {
      if (IsIn(key, Key(directory))) entry.nameFlushed = true;
    }
    return {};
  }

  FileResult<void> RenameWithoutReplacing(const std::string& from, const std::string& to) override {
    if (auto failure = Injected(FileOp::kRenameWithoutReplacing, from)) return *failure;
    return Move(from, to, false);
  }

  FileResult<void> RenameReplacing(const std::string& from, const std::string& to) override {
    if (auto failure = Injected(FileOp::kRenameReplacing, from)) return *failure;
    return Move(from, to, true);
  }

  FileResult<void> Remove(const std::string& path) override {
    if (auto failure = Injected(FileOp::kRemove, path)) return *failure;
    const auto entry = entries_.find(Key(path));
    if (entry == entries_.end()) return Error(FileErrorKind::kNotFound);
    if (entry->second.node->type == FileType::kDirectory)
      return Error(FileErrorKind::kAccessDenied);
    if (auto refused = RefusedInDirectory(path)) return *refused;
    entries_.erase(entry);
    return {};
  }

  FileResult<void> MatchPermissions(const OpenFile& file, const std::string& replaced) override {
    if (auto failure = Injected(FileOp::kMatchPermissions, handles_.at(file.Handle()).path)) {
      return *failure;
    }
    const auto entry = entries_.find(Key(replaced));
    if (entry == entries_.end()) return {};
    if (entry->second.node->readOnly) return Error(FileErrorKind::kAccessDenied);
    handles_.at(file.Handle()).node->access = entry->second.node->access;
    return {};
  }

  std::string ResolveLink(const std::string& path) override { return path; }

  FileResult<OpenFile> OpenForReading(const std::string& path) override {
    if (auto failure = Injected(FileOp::kOpenForReading, path)) return *failure;
    const auto entry = entries_.find(Key(path));
    if (entry == entries_.end()) return Error(FileErrorKind::kNotFound);
    if (entry->second.node->type != FileType::kRegular) {
      return Error(FileErrorKind::kNotRegularFile);
    }
    if (handles_.size() >= openFileLimit_) return Error(FileErrorKind::kTooManyOpenFiles);
    return Open(entry->second.node, path, false);
  }

  FileResult<std::size_t> Read(const OpenFile& file, std::span<uint8_t> into) override {
    Handle& handle = handles_.at(file.Handle());
    if (auto failure = Injected(FileOp::kRead, handle.path)) return *failure;
    const std::size_t count = CopyOut(*handle.node, handle.position, into);
    handle.position += count;
    return count;
  }

  FileResult<std::size_t> ReadAt(const OpenFile& file, uint64_t offset,
                                 std::span<uint8_t> into) override {
    Handle& handle = handles_.at(file.Handle());
    if (auto failure = Injected(FileOp::kRead, handle.path)) return *failure;
    return CopyOut(*handle.node, offset, into);
  }

  FileResult<uint64_t> Size(const OpenFile& file) override {
    Handle& handle = handles_.at(file.Handle());
    if (auto failure = Injected(FileOp::kSize, handle.path)) return *failure;
    return uint64_t{handle.node->bytes.size()};
  }

  FileResult<FileInfo> Status(const std::string& path) override {
    if (auto failure = Injected(FileOp::kStatus, path)) return *failure;
    const auto entry = entries_.find(Key(path));
    if (entry == entries_.end()) return Error(FileErrorKind::kNotFound);
    return InfoOf(*entry->second.node);
  }

  FileResult<void> ListDirectory(const std::string& directory, std::string_view /*nameStart*/,
                                 const NameFilter& wanted, const EntryVisitor& visit) override {
    if (auto failure = Injected(FileOp::kListDirectory, directory)) return *failure;
    if (!IsDirectory(Key(directory))) return Error(FileErrorKind::kNotFound);
    // A snapshot, so that the visitor may change the directory.
    std::vector<std::pair<std::string, FileInfo>> found;
    for (const auto& [key, entry] : entries_) {
      if (IsIn(key, Key(directory))) found.emplace_back(NameOf(key), InfoOf(*entry.node));
    }
    for (const auto& [name, info] : found) {
      if (wanted(name) && !visit({name, info})) break;
    }
    return {};
  }

  FileResult<std::string> CurrentDirectory() override { return std::string("/"); }

  FileResult<OpenFile> LockExclusively(const std::string& path) override {
    if (auto failure = Injected(FileOp::kLock, path)) return *failure;
    if (locked_.contains(Key(path))) return Error(FileErrorKind::kBusy);
    if (!entries_.contains(Key(path))) {
      if (auto refused = RefusedInDirectory(path)) return *refused;
      entries_[Key(path)] = {NewNode(FileType::kRegular), false};
    }
    if (handles_.size() >= openFileLimit_) return Error(FileErrorKind::kTooManyOpenFiles);
    locked_.insert(Key(path));
    return Open(entries_.at(Key(path)).node, path, true);
  }

 protected:
  FileResult<void> Close(std::intptr_t id) override {
    const auto handle = handles_.find(id);
    const std::string path = handle->second.path;
    if (handle->second.locks) locked_.erase(Key(path));
    handles_.erase(handle);
    // The file is closed even when the close reports an error.
    if (auto failure = Injected(FileOp::kClose, path)) return *failure;
    return {};
  }

 private:
  struct Node {
    FileType type = FileType::kRegular;
    std::string bytes;
    int64_t modifiedNs = 0;
    bool bytesFlushed = false;
    bool readOnly = false;
    NewFileAccess access = NewFileAccess::kUsual;
  };
  struct Entry {
    std::shared_ptr<Node> node;
    bool nameFlushed = false;
  };
  struct Handle {
    std::shared_ptr<Node> node;
    std::string path;
    uint64_t position = 0;
    bool locks = false;
  };
  struct ArmedFailure {
    InjectedFailure failure;
    int matchingCalls = 0;
  };

  static std::shared_ptr<Node> NewNode(FileType type) {
    auto node = std::make_shared<Node>();
    node->type = type;
    return node;
  }

  static FileError Error(FileErrorKind kind) { return {kind, 0}; }

  // A path without the separator at its end, "/" and "" (the working directory) as they are.
  static std::string Key(const std::string& path) {
    if (path.size() > 1 && path.back() == '/') return path.substr(0, path.size() - 1);
    return path;
  }
  static std::string ParentOf(const std::string& key) {
    const std::size_t slash = key.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : key.substr(0, slash);
  }
  static std::string NameOf(const std::string& key) {
    const std::size_t slash = key.rfind('/');
    return slash == std::string::npos ? key : key.substr(slash + 1);
  }
  static bool IsIn(const std::string& key, const std::string& directoryKey) {
    return key != directoryKey && !key.empty() && key != "/" && ParentOf(key) == directoryKey;
  }
  static FileInfo InfoOf(const Node& node) {
    return {node.type, node.bytes.size(), node.modifiedNs};
  }
  static std::size_t CopyOut(const Node& node, uint64_t offset, std::span<uint8_t> into) {
    if (offset >= node.bytes.size()) return 0;
    const std::size_t count = std::min<std::size_t>(into.size(), node.bytes.size() - offset);
    std::copy_n(node.bytes.begin() + static_cast<std::ptrdiff_t>(offset), count, into.begin());
    return count;
  }

  bool IsDirectory(const std::string& key) const {
    const auto entry = entries_.find(key);
    return entry != entries_.end() && entry->second.node->type == FileType::kDirectory;
  }

  // Why no entry may be made or removed at `path`: its directory is missing or read-only.
  std::optional<FileError> RefusedInDirectory(const std::string& path) const {
    const std::string parent = ParentOf(Key(path));
    if (!IsDirectory(parent)) return Error(FileErrorKind::kNotFound);
    if (entries_.at(parent).node->readOnly) return Error(FileErrorKind::kAccessDenied);
    return std::nullopt;
  }

  FileResult<void> Move(const std::string& from, const std::string& to, bool replace) {
    const auto source = entries_.find(Key(from));
    if (source == entries_.end()) return Error(FileErrorKind::kNotFound);
    if (auto refused = RefusedInDirectory(to)) return *refused;
    if (auto refused = RefusedInDirectory(from)) return *refused;
    if (!replace && entries_.contains(Key(to))) return Error(FileErrorKind::kAlreadyExists);
    Entry moved{source->second.node, !flushesBatches_};
    entries_.erase(source);
    entries_[Key(to)] = moved;
    return {};
  }

  FileResult<OpenFile> Open(std::shared_ptr<Node> node, const std::string& path, bool locks) {
    const std::intptr_t id = nextHandle_++;
    handles_[id] = {std::move(node), path, 0, locks};
    mostOpen_ = std::max(mostOpen_, handles_.size());
    return OpenFile(*this, id);
  }

  std::optional<FileError> Injected(FileOp op, const std::string& path) {
    for (ArmedFailure& armed : failures_) {
      const InjectedFailure& failure = armed.failure;
      if (failure.op != op || (!failure.path.empty() && failure.path != path)) continue;
      ++armed.matchingCalls;
      if (failure.nthCall == 0 || failure.nthCall == armed.matchingCalls) {
        return FileError{failure.kind, failure.systemCode};
      }
    }
    return std::nullopt;
  }

  int64_t Tick() { return nowNs_ += 1000000; }

  const bool flushesBatches_;
  std::map<std::string, Entry> entries_;
  std::map<std::intptr_t, Handle> handles_;
  std::set<std::string> locked_;
  std::vector<ArmedFailure> failures_;
  std::size_t openFileLimit_ = 1024;
  std::size_t mostOpen_ = 0;
  std::intptr_t nextHandle_ = 3;
  int64_t nowNs_ = 1700000000000000000;
};

}  // namespace drv::testing
