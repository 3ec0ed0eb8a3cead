// infodiv-gui: the window program.
#include "shell/window.h"

int main(int argc, char** argv) { return infodiv::run_window_program(argc, argv); }
