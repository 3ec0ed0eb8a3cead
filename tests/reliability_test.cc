// Failing writes and interrupted runs: whatever stops a run, both result files
// keep every record written before it, complete, and never part of a line.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "shell/ordered_work.h"
#include "shell/platform.h"
#include "shell/run.h"
#include "shell/run_error.h"
#include "tests/reliability_test_cli.h"
#include "tests/reliability_test_util.h"

namespace fs = std::filesystem;
using namespace infodiv;
using namespace infodiv::testing;

namespace {

// A seeded matrix of small positive integers: every run over it ends normally.
std::string random_matrix(std::size_t columns, std::size_t rows, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> cell(1, 30);
  std::string text;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      if (c > 0) text += ',';
      text += std::to_string(cell(random));
    }
    text += "\r\n";
  }
  return text;
}

class ReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/infodiv-reliability-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override {
    result_file_faults = {};
    fs::remove_all(dir_);
  }

  fs::path input() const { return dir_ / "f3.txt"; }
  fs::path results() const { return dir_ / "results.txt"; }
  fs::path results2() const { return dir_ / "results2.txt"; }
  std::vector<std::string> cli_args() const { return {input().string(), "--out-dir", dir_.string(), "-q"}; }

  // The files of a run that nothing disturbs.
  std::pair<std::string, std::string> reference_run() {
    run_analysis(paths_in(input(), dir_));
    return {slurp(results()).value(), slurp(results2()).value()};
  }

  // Runs in process; the error that stopped the run, if any.
  std::optional<RunError> run_in_process() {
    try {
      run_analysis(paths_in(input(), dir_));
    } catch (const RunError& e) {
      return e;
    }
    return std::nullopt;
  }

  fs::path dir_;
};

TEST_F(ReliabilityTest, FailedWriteKeepsTheCompleteRecordsBeforeIt) {
  write_file(input(), random_matrix(6, 9, 7));
  const auto [full, full2] = reference_run();
  // Each write lets through at most `chunk` bytes; write number `failing` (from 1)
  // fails. The results file takes the first writes, results2 the rest.
  struct Case {
    const char* name;
    std::size_t chunk;
    std::size_t failing;
    ErrorKind error;
  };
  const std::size_t writes_of_results = (full.size() + 99) / 100;
  const Case cases[] = {
      {"first write of results.txt", 1 << 20, 1, ErrorKind::DiskFull},
      {"inside the first record", 100, 2, ErrorKind::DeviceIOError},
      {"after some records", 100, 7, ErrorKind::DiskFull},
      {"last write of results.txt", 100, writes_of_results, ErrorKind::PermissionDenied},
      {"first write of results2.txt", 100, writes_of_results + 1, ErrorKind::DiskFull},
      {"inside results2.txt", 100, writes_of_results + 4, ErrorKind::DeviceIOError},
      {"single bytes", 1, 400, ErrorKind::DiskFull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::size_t count = 0;
    result_file_faults.write = [&](std::size_t& bytes) -> std::optional<ErrorKind> {
      bytes = std::min(bytes, c.chunk);
      return ++count == c.failing ? std::optional(c.error) : std::nullopt;
    };
    std::optional<RunError> error = run_in_process();
    result_file_faults = {};
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), c.error);
    const std::size_t passed = (c.failing - 1) * c.chunk;  // bytes that reached the files
    if (passed < full.size()) {
      EXPECT_EQ(error->where(), results().string());
      EXPECT_EQ(slurp(results()), complete_prefix(full, passed));
      EXPECT_EQ(slurp(results2()), "");
    } else {
      const std::size_t passed2 = (c.failing - 1 - (full.size() + c.chunk - 1) / c.chunk) * c.chunk;
      EXPECT_EQ(error->where(), results2().string());
      EXPECT_EQ(slurp(results()), full);
      EXPECT_EQ(slurp(results2()), complete_prefix(full2, passed2));
    }
  }
}

TEST_F(ReliabilityTest, WriteThatReturnsNothingIsAnIOError) {
  write_file(input(), random_matrix(4, 5, 3));
  const auto [full, full2] = reference_run();
  // results.txt in one write, then a short write past the first line of
  // results2.txt, then a write that writes nothing.
  const std::size_t second = full2.find('\n') + 6;
  std::size_t count = 0;
  result_file_faults.write = [&](std::size_t& bytes) -> std::optional<ErrorKind> {
    ++count;
    if (count == 2) bytes = second;
    if (count == 3) bytes = 0;
    return std::nullopt;
  };
  std::optional<RunError> error = run_in_process();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(std::string(error->what()), "Device I/O error at " + results2().string());
  EXPECT_EQ(slurp(results()), full);
  EXPECT_EQ(slurp(results2()), complete_prefix(full2, second));
  EXPECT_NE(slurp(results2()), "");
}

TEST_F(ReliabilityTest, FailedCloseStopsTheRunWithTheFileWritten) {
  write_file(input(), random_matrix(4, 5, 5));
  const auto [full, full2] = reference_run();
  for (int failing : {1, 2}) {
    SCOPED_TRACE(failing == 1 ? "results.txt" : "results2.txt");
    int count = 0;
    result_file_faults.close = [&]() -> std::optional<ErrorKind> {
      return ++count == failing ? std::optional(ErrorKind::DeviceIOError) : std::nullopt;
    };
    std::optional<RunError> error = run_in_process();
    result_file_faults = {};
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), ErrorKind::DeviceIOError);
    EXPECT_EQ(error->where(), (failing == 1 ? results() : results2()).string());
    EXPECT_EQ(slurp(results()), full);
    EXPECT_EQ(slurp(results2()), failing == 1 ? "" : full2);
  }
}

// A real file-size limit: the kernel cuts the write short and then refuses it
// (EFBIG, since the command line ignores SIGXFSZ).
TEST_F(ReliabilityTest, FileSizeLimitStopsTheCommandLineCleanly) {
  struct Case {
    const char* name;
    std::size_t columns;
    std::size_t limit;  // bytes per file; 0: half a record past the third line of results.txt
  };
  const Case cases[] = {
      {"inside the first record", 6, 20},
      {"after some records", 6, 0},
      {"inside results2.txt", 3, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(input(), random_matrix(c.columns, 8, 11));
    const auto [full, full2] = reference_run();
    std::size_t limit = c.limit;
    if (limit == 0) limit = complete_prefix(full, full.find("\r\n") * 3 + 6).size() + 40;
    ASSERT_LT(limit, std::max(full.size(), full2.size()));
    ASSERT_TRUE(full.size() <= limit || c.columns != 3) << "results.txt must fit to reach results2.txt";

    CliEnding ending = run_cli(INFODIV_CLI, cli_args(), limit);
    ASSERT_TRUE(ending.exited) << "signal " << ending.status;
    EXPECT_EQ(ending.status, 1);
    const fs::path& failed = full.size() > limit ? results() : results2();
    EXPECT_EQ(ending.stderr_text, "infodiv: error: Disk full at " + failed.string() + "\n");
    EXPECT_EQ(slurp(results()), complete_prefix(full, limit));
    EXPECT_EQ(slurp(results2()), full.size() > limit ? "" : complete_prefix(full2, limit));
  }
}

// The ordered workers poll before every unit they hand over, also when the
// workers keep ahead and the caller never waits: here the request to stop
// comes while unit 3 is consumed, and unit 4 is never consumed.
TEST(OrderedWorkTest, PollsBeforeEveryUnitEvenWhenNeverWaiting) {
  std::atomic<bool> stop{false};
  RunControl control;
  control.interrupted = &stop;
  for (unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    stop = false;
    std::size_t consumed = 0;
    try {
      run_in_order(
          1000, threads, 8, [](std::size_t, std::size_t) {},
          [&](std::size_t u, std::size_t) {
            // Let the workers fill the window first.
            if (u == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            consumed = u + 1;
            if (u == 3) stop = true;
          },
          control);
      ADD_FAILURE() << "not interrupted";
    } catch (const RunError& e) {
      EXPECT_EQ(e.kind(), ErrorKind::Interrupted);
    }
    EXPECT_EQ(consumed, 4u);
  }
}

// Interrupts long runs at seeded random moments with each of the three
// signals: the run stops, says so, exits 128 + the signal, and both files hold
// only complete, well-formed records. One input spends its time in the triple
// walk (9880 triples over 20000 rows), the other in the column phase (2e10 row
// pairs): both last far longer than the latest signal.
TEST_F(ReliabilityTest, SignalStopsTheRunBetweenRecords) {
  const std::string inputs[] = {random_matrix(40, 20000, 17), random_matrix(4, 200000, 19)};
  const std::uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delay_ms(0, 2000);
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGINT, SIGTERM, SIGHUP, SIGINT, SIGTERM};
  int trial = 0;
  for (int signal : signals) {
    const int input_index = trial++ % 2;
    const int delay = delay_ms(random);
    SCOPED_TRACE("input " + std::to_string(input_index) + ", signal " + std::to_string(signal) + " after " +
                 std::to_string(delay) + " ms");
    write_file(input(), inputs[input_index]);
    fs::remove(results());
    fs::remove(results2());
    CliChild child = start_cli(INFODIV_CLI, cli_args());
    // results2.txt appears once the handlers are in place and the run has begun.
    for (int i = 0; i < 2000 && !fs::exists(results2()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    ASSERT_EQ(::kill(child.pid, signal), 0);
    CliEnding ending = finish_cli(child);
    ASSERT_TRUE(ending.exited) << ending.stderr_text << " (signal " << ending.status << ")";
    EXPECT_EQ(ending.status, 128 + signal);
    EXPECT_EQ(ending.stderr_text, "infodiv: interrupted\n");
    EXPECT_EQ(malformed_records(slurp(results()).value_or(""), kTripleFields, kTripleDecimalFields), "");
    EXPECT_EQ(malformed_records(slurp(results2()).value(), kColumnFields, kColumnDecimalFields), "");
  }
}

}  // namespace
