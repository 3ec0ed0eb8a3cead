// The file services on the Win32 API. Names go to the system as UTF-16 (the
// path's native form), so any name that Windows can hold works whatever the
// ANSI code page; bytes are written as given (the engine's CR LF, no text-mode
// translation), and error names and their choice follow the POSIX layer.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "shell/platform.h"
#include "shell/run_error.h"

namespace infodiv {
namespace {

bool is_folder(const std::filesystem::path& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Win32 refuses to open or delete a folder as a file with "access denied";
// the POSIX layer calls that case "Path/File access error", and so does this.
ErrorKind open_error_kind(DWORD error, bool creating, const std::filesystem::path& path) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return creating ? ErrorKind::PathNotFound : ErrorKind::FileNotFound;
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY: return ErrorKind::PathNotFound;
    case ERROR_ACCESS_DENIED:
      return is_folder(path) ? ErrorKind::PathFileAccessError : ErrorKind::PermissionDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return ErrorKind::PermissionDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ErrorKind::DiskFull;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ErrorKind::OutOfMemory;
    default: return ErrorKind::PathFileAccessError;
  }
}

ErrorKind write_error_kind(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ErrorKind::DiskFull;
    case ERROR_ACCESS_DENIED:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return ErrorKind::PermissionDenied;
    default: return ErrorKind::DeviceIOError;
  }
}

// ResultFile keeps a C runtime descriptor, the one member that its header
// shares with the POSIX layer; the descriptor owns the Win32 handle, and every
// read, write and truncation goes through the handle itself.
HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// ReadFile and WriteFile take a 32-bit count.
constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

}  // namespace

std::string display_name(const std::filesystem::path& path) {
  const std::u8string name = path.u8string();
  return std::string(name.begin(), name.end());
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::vector<std::string> arguments;
  for (int a = 1; a < count; ++a) {
    std::string& utf8 = arguments.emplace_back();
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, wide[a], -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) continue;
    utf8.resize(static_cast<std::size_t>(length));
    ::WideCharToMultiByte(CP_UTF8, 0, wide[a], -1, utf8.data(), length, nullptr, nullptr);
    utf8.pop_back();  // the terminating null
  }
  ::LocalFree(wide);
  return arguments;
}

// libstdc++ reads a narrow name in the ANSI code page; char8_t says UTF-8.
std::filesystem::path path_from_utf8(std::string_view name) {
  return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

std::string read_file(const std::filesystem::path& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    throw RunError(open_error_kind(::GetLastError(), false, path), display_name(path));
  }
  std::string bytes;
  LARGE_INTEGER size{};
  if (::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &size) && size.QuadPart > 0 &&
      static_cast<std::uint64_t>(size.QuadPart) < std::numeric_limits<std::size_t>::max()) {
    bytes.reserve(static_cast<std::size_t>(size.QuadPart));
  }
  char chunk[1 << 16];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_BROKEN_PIPE) break;  // the writing end of a pipe closed: its end
      ::CloseHandle(file);
      throw RunError(ErrorKind::DeviceIOError, display_name(path));
    }
    if (n == 0) break;
    bytes.append(chunk, n);
  }
  ::CloseHandle(file);
  return bytes;
}

bool file_exists(const std::filesystem::path& path) {
  // The attributes of a link are its own, so a dangling link counts as present.
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void delete_file(const std::filesystem::path& path) {
  if (::DeleteFileW(path.c_str())) return;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) return;
  switch (error) {
    case ERROR_ACCESS_DENIED:
      // A read-only file, or one that another program holds open without
      // sharing its deletion: Windows says "access denied" for both.
      throw RunError(is_folder(path) ? ErrorKind::PathFileAccessError : ErrorKind::PermissionDenied,
                     display_name(path));
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: throw RunError(ErrorKind::PermissionDenied, display_name(path));
    default: throw RunError(ErrorKind::PathFileAccessError, display_name(path));
  }
}

ResultFile::ResultFile(const std::filesystem::path& path) : name_(display_name(path)) {
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of its target,
  // which is then refused: a result file is always a plain file of its own.
  // Other reparse points (cloud placeholders, deduplicated files) are files
  // with data of their own and are opened again as such.
  constexpr DWORD kAccess = GENERIC_WRITE, kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE file = ::CreateFileW(path.c_str(), kAccess, kShare, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw RunError(open_error_kind(::GetLastError(), true, path), name_);
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) ||
      (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(tag.ReparseTag))) {
    ::CloseHandle(file);
    throw RunError(ErrorKind::PathFileAccessError, name_);
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    ::CloseHandle(file);
    file = ::CreateFileW(path.c_str(), kAccess, kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw RunError(open_error_kind(::GetLastError(), true, path), name_);
  }
  // Appending: every write goes to the end, where the last complete line ends.
  LARGE_INTEGER end{};
  if (!::SetFilePointerEx(file, LARGE_INTEGER{}, &end, FILE_END)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(file);
    throw RunError(open_error_kind(error, true, path), name_);
  }
  committed_ = static_cast<std::uint64_t>(end.QuadPart);
  fd_ = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_APPEND);
  if (fd_ < 0) {
    ::CloseHandle(file);
    throw RunError(ErrorKind::OutOfMemory, name_);
  }
}

ResultFile::~ResultFile() {
  if (fd_ < 0) return;
  try {
    write_buffer();
  } catch (...) {
  }
  ::_close(fd_);
}

void ResultFile::close() {
  if (fd_ < 0) return;
  try {
    write_buffer();
  } catch (...) {
    ::_close(fd_);
    fd_ = -1;
    throw;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::_close(fd) != 0) throw RunError(ErrorKind::DeviceIOError, name_);
}

void ResultFile::write_buffer() {
  HANDLE file = handle_of(fd_);
  std::size_t written = 0;
  while (written < buffer_.size()) {
    const std::size_t want = std::min(buffer_.size() - written, kMaxChunk);
    DWORD n = 0;
    const bool ok = ::WriteFile(file, buffer_.data() + written, static_cast<DWORD>(want), &n, nullptr);
    if (!ok || n == 0) {
      const DWORD error = ok ? ERROR_WRITE_FAULT : ::GetLastError();
      // Cut back to the last complete line that reached the file.
      std::size_t keep = buffer_.rfind('\n', written == 0 ? 0 : written - 1);
      keep = (keep == std::string::npos || written == 0) ? 0 : keep + 1;
      LARGE_INTEGER cut{};
      cut.QuadPart = static_cast<LONGLONG>(committed_ + keep);
      if (::SetFilePointerEx(file, cut, nullptr, FILE_BEGIN) && ::SetEndOfFile(file)) committed_ += keep;
      buffer_.clear();
      throw RunError(write_error_kind(error), name_);
    }
    written += n;
  }
  committed_ += buffer_.size();
  buffer_.clear();
}

RunPaths host_paths() {
  return {std::filesystem::path(L"C:\\temp\\f3.txt"), std::filesystem::path(L"C:\\temp\\results.txt"),
          std::filesystem::path(L"C:\\temp\\results2.txt")};
}

RunPaths paths_in(const std::filesystem::path& input, const std::filesystem::path& out_dir) {
  return {input, out_dir / "results.txt", out_dir / "results2.txt"};
}

}  // namespace infodiv
