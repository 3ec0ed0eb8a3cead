// infodiv INPUT [--out-dir DIR]: the run of the window program on any paths.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>

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
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  try {
    infodiv::run_analysis(infodiv::paths_in(input, out_dir));
  } catch (const infodiv::RunError& e) {
    std::fprintf(stderr, "infodiv: error: %s\n", e.what());
    return 1;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "infodiv: error: Out of memory\n");
    return 1;
  }
  return 0;
}
