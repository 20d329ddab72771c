#include "base/file_system.h"

namespace drv {
namespace {

// For errors that no system call reported, such as those a test's file system makes up.
std::errc ErrcOfKind(FileErrorKind kind) {
  switch (kind) {
    case FileErrorKind::kNotFound:
      return std::errc::no_such_file_or_directory;
    case FileErrorKind::kAlreadyExists:
      return std::errc::file_exists;
    case FileErrorKind::kNoSpace:
      return std::errc::no_space_on_device;
    case FileErrorKind::kAccessDenied:
      return std::errc::permission_denied;
    case FileErrorKind::kTooManyOpenFiles:
      return std::errc::too_many_files_open;
    case FileErrorKind::kBusy:
      return std::errc::device_or_resource_busy;
    case FileErrorKind::kNotRegularFile:
      return std::errc::invalid_argument;
    case FileErrorKind::kIoError:
    case FileErrorKind::kOther:
      break;
  }
  return std::errc::io_error;
}

}  // namespace

std::string FileError::Message() const {
  return systemCode != 0 ? SystemErrorText(systemCode) : ToErrorCode().message();
}

std::error_code FileError::ToErrorCode() const {
  if (systemCode == 0) return std::make_error_code(ErrcOfKind(kind));
  return SystemErrorCode(systemCode);
}

OpenFile::~OpenFile() {
  [[maybe_unused]] const FileResult<void> ignored = Close();
}

OpenFile& OpenFile::operator=(OpenFile&& other) noexcept {
  if (this != &other) {
    [[maybe_unused]] const FileResult<void> ignored = Close();
    fileSystem_ = std::exchange(other.fileSystem_, nullptr);
    handle_ = other.handle_;
  }
  return *this;
}

FileResult<void> OpenFile::Close() {
  IFileSystem* const fileSystem = std::exchange(fileSystem_, nullptr);
  if (fileSystem == nullptr) return {};
  return fileSystem->Close(handle_);
}

}  // namespace drv
