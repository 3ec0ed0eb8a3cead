// The one error type that stops a run. Kernels throw it; only the run
// sequence (and the front ends that report it) catch it.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace infodiv {

enum class ErrorKind {
  DivisionByZero,
  Overflow,
  SubscriptOutOfRange,
  FileNotFound,
  PathNotFound,
  PathFileAccessError,
  InputPastEndOfFile,
  PermissionDenied,
  DiskFull,
  DeviceIOError,
  ColumnTotalNotPositive,
  OutOfMemory,
  Interrupted,
};

// The error's name as reports show it, e.g. "Division by zero".
std::string_view error_name(ErrorKind kind);

class RunError : public std::runtime_error {
 public:
  // `where` names the place: a file and line, a column triple, a column, ...
  RunError(ErrorKind kind, std::string where);

  ErrorKind kind() const noexcept { return kind_; }
  const std::string& where() const noexcept { return where_; }

 private:
  ErrorKind kind_;
  std::string where_;
};

}  // namespace infodiv
