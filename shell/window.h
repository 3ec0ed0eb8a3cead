// The window program: Form1 with "Run" and "Quit". One implementation per
// toolkit (FLTK on X11, Win32 on Windows) behind this entry point.
#pragma once

namespace infodiv {

// Shows Form1 and handles it until the program ends; returns the exit status
// (0 after a normal run or "Quit", non-zero after an error report).
int run_window_program(int argc, char** argv);

}  // namespace infodiv
