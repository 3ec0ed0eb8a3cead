// The fast mode end to end through run_analysis: input read and parsed,
// records formatted and written to a folder under /dev/shm when it exists
// (so that the disk does not set the pace), else the temporary folder.
//
//   build/bin/fast_bench --benchmark_repetitions=5
//
// The argument of each benchmark is the worker count (-j).
//
// Counters: result_MB_per_s (text written per second of the run) and
// records_per_s. The exact walk runs on a smaller matrix as the baseline.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "shell/run.h"

namespace fs = std::filesystem;

namespace {

// One folder for the whole process, so that every repetition reuses its
// input; removed at exit.
struct Scratch {
  fs::path folder;
  Scratch() {
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    folder = base / ("infodiv-bench-" + std::to_string(::getpid()));
    fs::create_directories(folder);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
};

const fs::path& scratch_folder() {
  static Scratch scratch;
  return scratch.folder;
}

// A dense matrix of uniform values with six significant digits.
fs::path write_input(const fs::path& folder, std::size_t rows, std::size_t columns, std::uint64_t seed) {
  fs::path path = folder / ("in-" + std::to_string(rows) + "x" + std::to_string(columns) + ".txt");
  if (fs::exists(path)) return path;
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0, 100);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::string line;
  char text[32];
  for (std::size_t r = 0; r < rows; ++r) {
    line.clear();
    for (std::size_t c = 0; c < columns; ++c) {
      if (c != 0) line.push_back(',');
      auto end = std::to_chars(text, text + sizeof text, unit(rng), std::chars_format::general, 6).ptr;
      line.append(text, end);
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), f);
  }
  std::fclose(f);
  return path;
}

void run_once(benchmark::State& state, std::size_t rows, std::size_t columns, bool fast, infodiv::Phases only) {
  // The argument is the worker count.
  const fs::path& folder = scratch_folder();
  const fs::path input = write_input(folder, rows, columns, 20261211);
  const infodiv::RunPaths paths = infodiv::paths_in(input, folder);
  infodiv::RunOptions options;
  options.fast = fast;
  options.only = only;
  options.threads = static_cast<unsigned>(state.range(0));
  double bytes = 0;
  for (auto _ : state) {
    infodiv::run_analysis(paths, options);
    bytes = 0;
    for (const fs::path& out : {paths.results, paths.results2}) {
      if (fs::exists(out)) bytes += static_cast<double>(fs::file_size(out));
    }
  }
  const double triples = static_cast<double>(columns * (columns - 1) * (columns - 2) / 6);
  state.counters["result_MB_per_s"] =
      benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  if (only == infodiv::Phases::TriplesOnly) {
    state.counters["records_per_s"] = benchmark::Counter(triples, benchmark::Counter::kIsIterationInvariantRate);
  }
}

// 300 columns: 4,455,100 records, about 690 MB of text.
void FastTriples300(benchmark::State& state) { run_once(state, 200, 300, true, infodiv::Phases::TriplesOnly); }
// The same walk on 100 columns, exact and fast.
void ExactTriples100(benchmark::State& state) { run_once(state, 200, 100, false, infodiv::Phases::TriplesOnly); }
void FastTriples100(benchmark::State& state) { run_once(state, 200, 100, true, infodiv::Phases::TriplesOnly); }
// The column phase of 1,000,000 rows x 20 columns, input parsing included.
void FastColumns1M(benchmark::State& state) { run_once(state, 1000000, 20, true, infodiv::Phases::ColumnsOnly); }

}  // namespace

BENCHMARK(FastTriples300)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(ExactTriples100)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(FastTriples100)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(FastColumns1M)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

BENCHMARK_MAIN();
