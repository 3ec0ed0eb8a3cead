// infodiv INPUT [--out-dir DIR]: the run of the window program on any paths.
#include <CLI/CLI.hpp>
#ifndef _WIN32
#include <signal.h>
#endif

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>


#include "cli/progress.h"

#include "shell/platform.h"
#include "shell/run.h"
#include "shell/run_error.h"

namespace {

// Set from the signal handler, read by the kernels' polls: a lock-free atomic
// store is all that a handler may safely do besides keeping the number.
std::atomic<bool> interrupted{false};
volatile std::sig_atomic_t stop_signal = 0;
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void request_stop(int signal) {
  stop_signal = signal;
  interrupted.store(true, std::memory_order_relaxed);
}

// SIGINT, SIGTERM and SIGHUP stop the run at its next poll, so that the result
// files keep only complete lines. A file-size limit must fail the write (and
// be reported) instead of killing the process in the middle of a line.
void install_signal_handlers() {
#ifdef _WIN32
  for (int signal : {SIGINT, SIGTERM}) std::signal(signal, request_stop);
#else
  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  install_signal_handlers();
  CLI::App app{
      "Writes results.txt (entropies and interaction information of every column triple)\n"
      "and results2.txt (distribution and diversity measures of every column) for a\n"
      "comma-separated numeric matrix.",
      "infodiv"};
  std::string input;
  std::string out_dir = ".";
  app.add_option("INPUT", input, "Comma-separated matrix: one row per line, no header")->required();
  app.add_option("--out-dir", out_dir, "Folder for results.txt and results2.txt (default: current folder)");
  infodiv::RunOptions options;
  app.add_option("-j,--jobs", options.threads, "Worker threads (default: every core)");
  bool quiet = false;
  app.add_flag("-q,--quiet", quiet, "No progress display on stderr");
  app.add_flag("--fast", options.fast,
               "Closed forms instead of the exact order of operations: far faster on wide or long\n"
               "matrices. The same files, records and stops (save a value within rounding of a\n"
               "limit); values equal to the exact ones within 1e-12 of the size of their terms\n"
               "(README, \"Fast mode\")");
  std::string only;
  app.add_option("--only", only,
                 "Run one phase only: 'triples' writes results.txt alone, 'columns' results2.txt alone;\n"
                 "the other file is neither deleted nor created")
      ->check(CLI::IsMember({"triples", "columns"}));
  try {
    // UTF-8 arguments, so that any file name reaches the platform layer whole.
    const std::vector<std::string> arguments = infodiv::program_arguments(argc, argv);
    std::vector<const char*> pointers{argc > 0 ? argv[0] : "infodiv"};
    for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  if (only == "triples") options.only = infodiv::Phases::TriplesOnly;
  if (only == "columns") options.only = infodiv::Phases::ColumnsOnly;
  std::unique_ptr<infodiv::ProgressLine> progress;
  if (!quiet && infodiv::stderr_takes_progress_line()) {
    progress = std::make_unique<infodiv::ProgressLine>(stderr);
    options.control.progress = [&](std::string_view phase, std::uint64_t done, std::uint64_t total) {
      progress->update(phase, done, total);
    };
  }

  options.control.interrupted = &interrupted;
  try {
    infodiv::run_analysis(
        infodiv::paths_in(infodiv::path_from_utf8(input), infodiv::path_from_utf8(out_dir)), options);
  } catch (const infodiv::RunError& e) {
    if (progress) progress->erase();
    if (e.kind() == infodiv::ErrorKind::Interrupted) {
      std::fprintf(stderr, "infodiv: interrupted\n");
      // The shell's convention for a death by signal, 128 + its number.
      return 128 + (stop_signal != 0 ? static_cast<int>(stop_signal) : SIGINT);
    }
    std::fprintf(stderr, "infodiv: error: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    if (progress) progress->erase();
    std::fprintf(stderr, "infodiv: error: Out of memory\n");
    return 1;
  } catch (const std::exception& e) {
    // Not a failure the run names (e.g. a thread that could not start): still
    // one line and status 1, never an abort.
    if (progress) progress->erase();
    std::fprintf(stderr, "infodiv: error: %s\n", e.what());
    return 1;
  }
  return 0;
}
