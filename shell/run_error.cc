#include "shell/run_error.h"

namespace infodiv {

std::string_view error_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::DivisionByZero: return "Division by zero";
    case ErrorKind::Overflow: return "Overflow";
    case ErrorKind::SubscriptOutOfRange: return "Subscript out of range";
    case ErrorKind::FileNotFound: return "File not found";
    case ErrorKind::PathNotFound: return "Path not found";
    case ErrorKind::PathFileAccessError: return "Path/File access error";
    case ErrorKind::InputPastEndOfFile: return "Input past end of file";
    case ErrorKind::PermissionDenied: return "Permission denied";
    case ErrorKind::DiskFull: return "Disk full";
    case ErrorKind::DeviceIOError: return "Device I/O error";
    case ErrorKind::ColumnTotalNotPositive: return "Column total not positive";
    case ErrorKind::OutOfMemory: return "Out of memory";
    case ErrorKind::Interrupted: return "Interrupted";
  }
  return "Unknown error";
}

RunError::RunError(ErrorKind kind, std::string where)
    : std::runtime_error(std::string(error_name(kind)) + " at " + where),
      kind_(kind),
      where_(std::move(where)) {}

}  // namespace infodiv
