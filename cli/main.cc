// infodiv INPUT [--out-dir DIR]: the run of the window program on any paths.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>


#include "cli/progress.h"

#include "shell/platform.h"
#include "shell/run.h"
#include "shell/run_error.h"

int main(int argc, char** argv) {
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

  try {
    infodiv::run_analysis(
        infodiv::paths_in(infodiv::path_from_utf8(input), infodiv::path_from_utf8(out_dir)), options);
  } catch (const infodiv::RunError& e) {
    if (progress) progress->erase();
    std::fprintf(stderr, "infodiv: error: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "infodiv: error: Out of memory\n");
    return 1;
  }
  return 0;
}
