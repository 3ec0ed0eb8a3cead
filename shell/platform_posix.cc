#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "shell/platform.h"
#include "shell/run_error.h"

namespace infodiv {
namespace {

ErrorKind open_error_kind(int error, bool creating) {
  switch (error) {
    case ENOENT: return creating ? ErrorKind::PathNotFound : ErrorKind::FileNotFound;
    case ENOTDIR: return ErrorKind::PathNotFound;
    case EACCES:
    case EPERM:
    case EROFS: return ErrorKind::PermissionDenied;
    case ENOSPC:
    case EDQUOT: return ErrorKind::DiskFull;
    case ENOMEM: return ErrorKind::OutOfMemory;
    default: return ErrorKind::PathFileAccessError;
  }
}

ErrorKind write_error_kind(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ErrorKind::DiskFull;
    case EACCES:
    case EPERM: return ErrorKind::PermissionDenied;
    default: return ErrorKind::DeviceIOError;
  }
}

}  // namespace

std::string display_name(const std::filesystem::path& path) { return path.string(); }

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

// Names are bytes here, whatever their encoding.
std::filesystem::path path_from_utf8(std::string_view name) { return std::filesystem::path(name); }

std::string read_file(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw RunError(open_error_kind(errno, false), display_name(path));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw RunError(ErrorKind::PathFileAccessError, display_name(path));
  }
  std::string bytes;
  if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<std::size_t>(st.st_size));
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int error = errno;
      ::close(fd);
      throw RunError(error == EISDIR ? ErrorKind::PathFileAccessError : ErrorKind::DeviceIOError,
                     display_name(path));
    }
    if (n == 0) break;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return bytes;
}

bool file_exists(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void delete_file(const std::filesystem::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    throw RunError(errno == EACCES || errno == EPERM || errno == EROFS ? ErrorKind::PermissionDenied
                                                                       : ErrorKind::PathFileAccessError,
                   display_name(path));
  }
}

ResultFile::ResultFile(const std::filesystem::path& path) : name_(display_name(path)) {
  // No link is followed: a result file is always a plain file of its own.
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd_ < 0) {
    int error = errno;
    if (error == EISDIR || error == ELOOP) throw RunError(ErrorKind::PathFileAccessError, name_);
    throw RunError(open_error_kind(error, true), name_);
  }
  struct stat st {};
  if (::fstat(fd_, &st) == 0) committed_ = static_cast<std::uint64_t>(st.st_size);
}

ResultFile::~ResultFile() {
  if (fd_ < 0) return;
  try {
    write_buffer();
  } catch (...) {
  }
  ::close(fd_);
}

void ResultFile::close() {
  if (fd_ < 0) return;
  try {
    write_buffer();
  } catch (...) {
    ::close(fd_);
    fd_ = -1;
    throw;
  }
  int fd = fd_;
  fd_ = -1;
  std::optional<ErrorKind> injected;
  if (result_file_faults.close) injected = result_file_faults.close();
  if (::close(fd) != 0 && errno != EINTR) throw RunError(write_error_kind(errno), name_);
  if (injected) throw RunError(*injected, name_);
}

void ResultFile::write_buffer() {
  std::size_t written = 0;
  while (written < buffer_.size()) {
    std::size_t bytes = buffer_.size() - written;
    std::optional<ErrorKind> injected;
    if (result_file_faults.write) injected = result_file_faults.write(bytes);
    ssize_t n = injected ? -1 : ::write(fd_, buffer_.data() + written, bytes);
    if (n < 0 && !injected && errno == EINTR) continue;
    if (n <= 0) {
      ErrorKind kind = injected ? *injected : write_error_kind(n < 0 ? errno : EIO);
      // Cut back to the last complete line that reached the file.
      std::size_t keep = buffer_.rfind('\n', written == 0 ? 0 : written - 1);
      keep = (keep == std::string::npos || written == 0) ? 0 : keep + 1;
      if (::ftruncate(fd_, static_cast<off_t>(committed_ + keep)) == 0) committed_ += keep;
      buffer_.clear();
      throw RunError(kind, name_);
    }
    written += static_cast<std::size_t>(n);
  }
  committed_ += buffer_.size();
  buffer_.clear();
}

RunPaths host_paths() {
  std::filesystem::path home;
  if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
    home = env;
  } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    home = pw->pw_dir;
  }
  std::filesystem::path folder = home / "temp";
  return {folder / "f3.txt", folder / "results.txt", folder / "results2.txt"};
}

RunPaths paths_in(const std::filesystem::path& input, const std::filesystem::path& out_dir) {
  return {input, out_dir / "results.txt", out_dir / "results2.txt"};
}

}  // namespace infodiv
