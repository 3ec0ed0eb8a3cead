// Times the two phases of the exact run on generated matrices and prints a
// table: wall time (median of repetitions), peak resident memory of a process
// that runs the phase alone, work rates against the single-core limit model,
// and the speed-up from 1 to 2 threads.
//
//   build-bench/bin/phase_bench [--quick] [--reps N]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "diversity/column_diversity.h"
#include "shell/run.h"
#include "tests/reference/reference.h"
#include "input/data_matrix.h"
#include "triples/triple_entropies.h"

namespace {

using infodiv::DataMatrix;

// Dense non-negative counts, like the abundance tables the tool is used on.
DataMatrix generate(std::size_t columns, std::size_t rows, unsigned seed) {
  std::mt19937_64 random(seed);
  std::vector<double> cells(columns * rows);
  for (double& v : cells) v = static_cast<double>(random() % 100 + 1);
  return DataMatrix(columns, rows, std::move(cells));
}

enum class Phase { Triples, Columns };

double run_phase(const DataMatrix& m, Phase phase, unsigned threads) {
  const auto start = std::chrono::steady_clock::now();
  std::size_t sink = 0;
  if (phase == Phase::Triples) {
    infodiv::analyze_triples(m, [&](const infodiv::TripleValues& v) { sink += v.entropy[6] > 0; }, {}, threads);
  } else {
    infodiv::analyze_columns(m, m.columns(), [&](const infodiv::ColumnValues& v, std::size_t) { sink += v.PairCount > 0; },
                             {}, threads);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (sink == 0) std::fprintf(stderr, "no records\n");
  return seconds;
}

struct Measurement {
  double seconds;
  long peak_kb;
};

// Generates the matrix and runs the phase in a child process, so that the
// peak resident memory is that of this phase alone.
Measurement measure(std::size_t columns, std::size_t rows, Phase phase, unsigned threads) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, -1};
  pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    DataMatrix m = generate(columns, rows, 1);
    double seconds = run_phase(m, phase, threads);
    if (write(fds[1], &seconds, sizeof seconds) != sizeof seconds) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  double seconds = -1;
  if (read(fds[0], &seconds, sizeof seconds) != sizeof seconds) seconds = -1;
  close(fds[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  return {seconds, usage.ru_maxrss};
}

Measurement median(std::size_t columns, std::size_t rows, Phase phase, unsigned threads, int reps) {
  std::vector<Measurement> runs;
  for (int r = 0; r < reps; ++r) runs.push_back(measure(columns, rows, phase, threads));
  std::sort(runs.begin(), runs.end(), [](const Measurement& a, const Measurement& b) { return a.seconds < b.seconds; });
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  int reps = 5;
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--quick") == 0) quick = true;
    if (std::strcmp(argv[a], "--reps") == 0 && a + 1 < argc) reps = std::atoi(argv[++a]);
  }

  // Written triples cost 3 * rows pooled terms each; the limit model is the
  // measured 2.2 ns per term of a vectorised, order-keeping kernel on one core.
  std::printf("Triple phase (median of %d)\n", reps);
  std::printf("%8s %6s %10s %10s %9s %10s %8s %8s\n", "columns", "rows", "1 thread s", "2 threads s", "speed-up",
              "ns/term", "model", "peak MB");
  const std::size_t triple_shapes[][2] = {{40, 1000}, {80, 1000}, {20, 20000}};
  for (auto [columns, rows] : triple_shapes) {
    if (quick && columns > 40) continue;
    Measurement one = median(columns, rows, Phase::Triples, 1, reps);
    Measurement two = median(columns, rows, Phase::Triples, 2, reps);
    const double terms = static_cast<double>(columns * (columns - 1) * (columns - 2) / 6) * 3.0 * static_cast<double>(rows);
    std::printf("%8zu %6zu %10.3f %10.3f %8.2fx %10.2f %8.2f %8.1f\n", columns, rows, one.seconds, two.seconds,
                one.seconds / two.seconds, one.seconds / terms * 1e9, 2.2, static_cast<double>(two.peak_kb) / 1024);
  }

  // The column phase visits every row pair; the model is
  // n * pairs * (0.11 + 0.45) ns + pairs * 1.1 ns on one core.
  std::printf("\nColumn phase (median of %d)\n", reps);
  std::printf("%8s %6s %10s %10s %9s %12s %10s %8s\n", "columns", "rows", "1 thread s", "2 threads s", "speed-up",
              "ns/pair", "model ns", "peak MB");
  const std::size_t column_shapes[][2] = {{10, 2000}, {10, 10000}, {10, 40000}};
  for (auto [columns, rows] : column_shapes) {
    if (quick && rows > 10000) continue;
    const int r = rows > 20000 ? std::max(1, reps / 2) : reps;
    Measurement one = median(columns, rows, Phase::Columns, 1, r);
    Measurement two = median(columns, rows, Phase::Columns, 2, r);
    const double pairs = static_cast<double>(rows) * static_cast<double>(rows - 1) / 2;
    const double model = static_cast<double>(columns) * (0.11 + 0.45) + 1.1;
    std::printf("%8zu %6zu %10.3f %10.3f %8.2fx %12.2f %10.2f %8.1f\n", columns, rows, one.seconds, two.seconds,
                one.seconds / two.seconds, one.seconds / pairs * 1e9, model, static_cast<double>(two.peak_kb) / 1024);
  }
  // Whole runs through files against the literal reference (input re-read at
  // every visit, rows x rows matrices, exchange sort), where it finishes
  // within about a minute.
  std::printf("\nWhole run, engine (2 threads) against the literal reference (single run each)\n");
  std::printf("%8s %6s %10s %12s %9s\n", "columns", "rows", "engine s", "reference s", "ratio");
  const std::size_t whole_shapes[][2] = {{10, 500}, {20, 500}, {20, 1000}};
  char folder[] = "/tmp/infodiv-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  const std::string base = folder;
  for (auto [columns, rows] : whole_shapes) {
    if (quick && columns > 10) continue;
    {
      DataMatrix m = generate(columns, rows, 3);
      std::FILE* f = std::fopen((base + "/f3.txt").c_str(), "wb");
      for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns; ++c) std::fprintf(f, c ? ",%.0f" : "%.0f", m.at(c, r));
        std::fprintf(f, "\r\n");
      }
      std::fclose(f);
    }
    const auto paths = infodiv::paths_in(base + "/f3.txt", base);
    infodiv::RunOptions options;
    options.threads = 2;
    auto start = std::chrono::steady_clock::now();
    infodiv::run_analysis(paths, options);
    const double engine = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    start = std::chrono::steady_clock::now();
    infodiv::reference::run_literal(paths);
    const double reference = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%8zu %6zu %10.3f %12.3f %8.0fx\n", columns, rows, engine, reference, reference / engine);
  }
  std::remove((base + "/f3.txt").c_str());
  std::remove((base + "/results.txt").c_str());
  std::remove((base + "/results2.txt").c_str());
  rmdir(folder);
  return 0;
}
