// Form1 on FLTK (X11): the window, its two buttons, and the error report that
// ends a failed run. Everything runs on the one thread of the event loop.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <X11/Xresource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "shell/form1_layout.h"
#include "shell/platform.h"
#include "shell/run.h"
#include "shell/run_error.h"
#include "shell/window.h"

namespace infodiv {
namespace {

// FLTK draws "@name" at either end of a label as a symbol, and a button reads
// "&x" in its caption as an access key; doubled, both draw as themselves.
// Error reports carry file paths, which may hold either character.
std::string literal_label(std::string_view text, bool access_keys) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '@' || (access_keys && c == '&')) out += c;
  }
  return out;
}

// The user's chosen resolution lives in the Xft.dpi resource where a desktop
// sets one; the screen's own figure comes from the size in millimetres that
// the X server reports, which is often a guess.
double chosen_dpi() {
  const char* resources = XResourceManagerString(fl_display);
  if (resources == nullptr) return NAN;
  XrmInitialize();
  XrmDatabase db = XrmGetStringDatabase(resources);
  if (db == nullptr) return NAN;
  double dpi = NAN;
  char* type = nullptr;
  XrmValue value{};
  if (XrmGetResource(db, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr != nullptr) {
    char* end = nullptr;
    dpi = std::strtod(value.addr, &end);
    if (end == value.addr) dpi = NAN;
  }
  XrmDestroyDatabase(db);
  return dpi;
}

int screen_dpi() {
  fl_open_display();
  float horizontal = 0, vertical = 0;
  Fl::screen_dpi(horizontal, vertical);
  return layout_dpi(chosen_dpi(), horizontal);
}

struct Form1 {
  Fl_Window* window = nullptr;
  bool idle = true;  // false from "Run" on: nothing may end or restart the run
  int exit_status = 0;
};

// The error report: a modal message with one button, which returns once the
// user has dismissed it (the button, Return, Escape or the title bar).
void show_error_report(const Form1& form, std::string_view text) {
  const std::string label = literal_label(text, false);
  fl_font(FL_HELVETICA, FL_NORMAL_SIZE);
  int text_width = 420, text_height = 0;  // wrap at 420 pixels, grow for longer words
  fl_measure(label.c_str(), text_width, text_height);

  constexpr int kMargin = 16, kButtonWidth = 80, kButtonHeight = 28;
  const int width = std::max(text_width, 240) + 2 * kMargin;
  const int height = text_height + kButtonHeight + 3 * kMargin;
  Fl_Window dialog(width, height, "infodiv");
  Fl_Box message(kMargin, kMargin, width - 2 * kMargin, text_height, label.c_str());
  message.align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  Fl_Return_Button ok(width - kMargin - kButtonWidth, height - kMargin - kButtonHeight, kButtonWidth,
                      kButtonHeight, "OK");
  ok.callback([](Fl_Widget* button, void*) { button->window()->hide(); });
  dialog.end();
  dialog.set_modal();
  dialog.position(std::max(0, form.window->x() + (form.window->w() - width) / 2),
                  std::max(0, form.window->y() + (form.window->h() - height) / 2));
  dialog.show();
  ok.take_focus();
  while (dialog.shown()) Fl::wait();
}

void report_error(const Form1& form, std::string_view what) {
  std::fprintf(stderr, "infodiv-gui: error: %.*s\n", static_cast<int>(what.size()), what.data());
  // Clicks and keys queued while the run held the thread are handled (and
  // ignored, the form being no longer idle) before the report can take them:
  // a key pressed during a long run must not dismiss the report unseen.
  XSync(fl_display, False);
  Fl::check();
  show_error_report(form, what);
}

void command1_click(Fl_Widget*, void* data) {
  Form1& form = *static_cast<Form1*>(data);
  if (!form.idle) return;
  form.idle = false;
  std::string error;
  try {
    RunOptions options;
    options.threads = 0;  // every core
    run_analysis(host_paths(), options);
  } catch (const RunError& e) {
    error = e.what();
  } catch (const std::bad_alloc&) {
    error = error_name(ErrorKind::OutOfMemory);
  }
  if (!error.empty()) {
    report_error(form, error);
    form.exit_status = 1;
  }
  form.window->hide();  // the last window: the event loop returns
}

void command2_click(Fl_Widget*, void* data) {
  Form1& form = *static_cast<Form1*>(data);
  if (!form.idle) return;
  form.window->hide();
}

// The title bar's close. FLTK also calls a window's callback for Escape, which
// this window does not take.
void form1_close(Fl_Widget*, void* data) {
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  command2_click(nullptr, data);
}

}  // namespace

int run_window_program(int argc, char** argv) {
  // Only the toolkit's own X options (-display, -geometry, ...) are taken.
  int next = 1;
  if (Fl::args(argc, argv, next) == 0 || next < argc) {
    std::fprintf(stderr, "usage: %s [X options]\n%s", argv[0], Fl::help);
    return 2;
  }

  const int dpi = screen_dpi();
  const PixelRect run_rect = to_pixels(kCommand1Rect, dpi);
  const PixelRect quit_rect = to_pixels(kCommand2Rect, dpi);
  const std::string run_label = literal_label("Run", true);
  const std::string quit_label = literal_label("Quit", true);

  Form1 form;
  Fl_Window window(twips_to_pixels(kForm1ClientWidth, dpi), twips_to_pixels(kForm1ClientHeight, dpi),
                   "Form1");
  form.window = &window;
  // Created in tab order: "Run" first.
  Fl_Button command1(run_rect.x, run_rect.y, run_rect.width, run_rect.height, run_label.c_str());
  command1.callback(command1_click, &form);
  Fl_Button command2(quit_rect.x, quit_rect.y, quit_rect.width, quit_rect.height, quit_label.c_str());
  command2.callback(command2_click, &form);
  window.end();
  window.callback(form1_close, &form);
  // Resizable, but without a resizable child: FLTK then moves no button.
  window.size_range(1, 1);
  window.show(argc, argv);
  command1.take_focus();

  Fl::run();
  return form.exit_status;
}

}  // namespace infodiv
