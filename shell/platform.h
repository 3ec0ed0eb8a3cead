// The runtime's file services, on the host's own API: whole-file reading,
// existence tests, deletion, and result files that only ever hold complete
// lines. Every failure throws RunError naming the error and the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/run_error.h"

namespace infodiv {

// The bytes of a file, for the input reader. Fails with "File not found",
// "Permission denied", "Path/File access error" (e.g. a folder) or
// "Device I/O error".
std::string read_file(const std::filesystem::path& path);

// True when a file (not a folder) of that name is present; a dangling link
// counts as present, so that it is deleted rather than followed.
bool file_exists(const std::filesystem::path& path);

// Removes the file; fails with "Permission denied" or "Path/File access error".
void delete_file(const std::filesystem::path& path);

// A result file open for appending. append() takes whole lines only, and the
// file never ends in part of one: when a write fails, the file is cut back to
// the end of its last complete line before the error is thrown.
class ResultFile {
 public:
  ResultFile() = default;
  // Creates the file when missing ("Path not found" when its folder is
  // missing, "Permission denied", "Path/File access error" for a folder).
  explicit ResultFile(const std::filesystem::path& path);
  ResultFile(ResultFile&& other) noexcept;
  ResultFile& operator=(ResultFile&& other) noexcept;
  ResultFile(const ResultFile&) = delete;
  ResultFile& operator=(const ResultFile&) = delete;
  // Writes what is buffered, ignoring failures: the error path of a run that
  // is already reporting another error.
  ~ResultFile();

  bool is_open() const noexcept { return fd_ >= 0; }

  // Buffers complete lines; writes them out when the buffer is large.
  void append(std::string_view lines);
  // Writes everything buffered; throws on failure.
  void flush();
  // Flushes and closes; throws on failure. The file is closed either way.
  void close();

 private:
  void write_buffer();

  int fd_ = -1;
  std::string name_;
  std::string buffer_;
  std::uint64_t committed_ = 0;  // bytes in the file, all complete lines
};

// A file's name as reports show it, in UTF-8.
std::string display_name(const std::filesystem::path& path);

// The program's arguments (argv[1] on) in UTF-8. Windows passes argv in the
// ANSI code page, which cannot hold every file name; the platform layer reads
// them from the system in full instead.
std::vector<std::string> program_arguments(int argc, char** argv);
// The path that a UTF-8 name, e.g. one of those arguments, stands for.
std::filesystem::path path_from_utf8(std::string_view name);

// A seam for tests of failures that a test cannot cause on demand, such as an
// I/O error or a short write; normal runs leave both empty. Before each write
// of a result file, `write` may lower the byte count (a short write) or name
// the error to fail that write with; before each close, `close` may name the
// error that the close reports.
struct ResultFileFaults {
  std::function<std::optional<ErrorKind>(std::size_t& bytes)> write;
  std::function<std::optional<ErrorKind>()> close;
};
inline ResultFileFaults result_file_faults;

// Where the window program keeps its files: the fixed "C:\temp" folder on
// Windows; elsewhere the folder "temp" in the user's home directory, never a
// shared folder where another user could plant the input or a link.
struct RunPaths {
  std::filesystem::path input;
  std::filesystem::path results;
  std::filesystem::path results2;
};
RunPaths host_paths();
// The same three names in another folder, for the command line.
RunPaths paths_in(const std::filesystem::path& input, const std::filesystem::path& out_dir);

}  // namespace infodiv
