// The parts of ResultFile that are the same on every platform; opening,
// writing and closing are in the platform files.
#include "shell/platform.h"

namespace infodiv {
namespace {

// Lines are collected up to this many bytes before one write.
constexpr std::size_t kFlushThreshold = std::size_t{1} << 20;

}  // namespace

ResultFile::ResultFile(ResultFile&& other) noexcept
    : fd_(other.fd_), name_(std::move(other.name_)), buffer_(std::move(other.buffer_)),
      committed_(other.committed_) {
  other.fd_ = -1;
}

ResultFile& ResultFile::operator=(ResultFile&& other) noexcept {
  if (this != &other) {
    this->~ResultFile();
    fd_ = other.fd_;
    name_ = std::move(other.name_);
    buffer_ = std::move(other.buffer_);
    committed_ = other.committed_;
    other.fd_ = -1;
  }
  return *this;
}

void ResultFile::append(std::string_view lines) {
  buffer_.append(lines);
  if (buffer_.size() >= kFlushThreshold) write_buffer();
}

void ResultFile::flush() { write_buffer(); }

}  // namespace infodiv
