// End-to-end tests of the window program in a real X server (Xvfb, with no
// window manager): clicks and keys through xdotool, screenshots through
// ImageMagick's import, and the title bar's close as the WM_DELETE_WINDOW
// message that a window manager sends. Every process that a test starts is
// stopped by the id it recorded.
#include <gtest/gtest.h>
// After GoogleTest: Xlib defines macros such as None and Bool.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_files.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A guard against a hung program, not a measurement: far above any run here.
constexpr auto kPatience = 60s;

using infodiv::testing::slurp;

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct Ran {
  int status = -1;
  std::string output;
};

Ran run_command(const std::string& command) {
  Ran ran;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) ran.output.append(buffer, n);
    const int raw = pclose(pipe);
    ran.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
  return ran;
}

// A shell command's standard output; an empty result on failure.
std::string shell(const std::string& command) {
  Ran ran = run_command(command);
  return ran.status == 0 ? ran.output : "";
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// A child process that the test started; stopped by its id unless it ended.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::vector<std::string>& env_overrides,
        const std::optional<fs::path>& stderr_file = std::nullopt, int keep_fd = -1) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      bool overridden = false;
      for (const std::string& o : env_overrides) {
        overridden = overridden || entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
      }
      if (!overridden) env.push_back(entry);
    }
    env.insert(env.end(), env_overrides.begin(), env_overrides.end());
    std::vector<char*> args, envp;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ != 0) return;
    // The child dies with the test, even when the test is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    const int err = stderr_file ? open(stderr_file->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : 2;
    dup2(err, 2);
    if (keep_fd == 3)
      fcntl(3, F_SETFD, 0);
    else if (keep_fd >= 0)
      dup2(keep_fd, 3);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { stop(SIGKILL); }

  bool started() const { return pid_ > 0; }
  bool running() {
    if (pid_ <= 0 || status_) return false;
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
  }
  // The exit status, or nullopt when the program did not end in time.
  std::optional<int> wait() {
    for (auto deadline = std::chrono::steady_clock::now() + kPatience;
         running() && std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(10ms);
    }
    return status_;
  }
  void stop(int signal) {
    if (running()) {
      kill(pid_, signal);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

// An X server of the test's own on a display number that it picks itself.
// 96 dpi: the resolution for which the twips were laid out. No reset when the
// last client leaves, which would drop the resources that a test sets.
class XServer {
 public:
  XServer() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    server_ = std::make_unique<Child>(
        std::vector<std::string>{"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24", "-dpi", "96",
                                 "-noreset", "-nolisten", "tcp"},
        std::vector<std::string>{}, fs::path("/dev/null"), fds[1]);
    close(fds[1]);
    std::string number;
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~XServer() {
    if (server_) server_->stop(SIGTERM);  // lets it remove its lock file and socket
  }
  const std::string& display() const { return display_; }

 private:
  std::unique_ptr<Child> server_;
  std::string display_;
};

struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};

struct Rect {
  int x, y, width, height;
};

// An RGB screenshot of the whole screen.
struct Image {
  int width = 0, height = 0;
  std::string rgb;
  std::uint32_t at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return 0xFFFFFFFF;
    const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) + 3 * (std::size_t(y) * width + x);
    return std::uint32_t(p[0]) << 16 | std::uint32_t(p[1]) << 8 | p[2];
  }
};

std::string find_window(const std::string& name) {
  return trimmed(shell("timeout 30 xdotool search --sync --onlyvisible --name '^" + name + "$' | head -n 1"));
}

Geometry geometry(const std::string& window) {
  Geometry g;
  std::istringstream lines(shell("xdotool getwindowgeometry --shell " + window));
  for (std::string line; std::getline(lines, line);) {
    std::sscanf(line.c_str(), "X=%d", &g.x);
    std::sscanf(line.c_str(), "Y=%d", &g.y);
    std::sscanf(line.c_str(), "WIDTH=%d", &g.width);
    std::sscanf(line.c_str(), "HEIGHT=%d", &g.height);
  }
  return g;
}

// Clicks at a point of the window's client area.
void click(const std::string& window, int x, int y) {
  shell("xdotool mousemove --window " + window + " " + std::to_string(x) + " " + std::to_string(y) +
        " click 1");
}
void click_centre(const std::string& window, Rect r) { click(window, r.x + r.width / 2, r.y + r.height / 2); }

// Gives the window the keyboard focus and types the keys (xdotool names).
void type_keys(const std::string& window, const std::string& keys) {
  shell("timeout 30 xdotool windowfocus --sync " + window + " && xdotool key --delay 20 " + keys);
}

// What a window manager sends when the user closes a window by its title bar.
void send_wm_delete(const std::string& window) {
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = std::stoul(window);
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
  XCloseDisplay(display);
}

// The X resources that programs read when they connect (what xrdb loads).
void set_resources(const std::string& text) {
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  const Atom property = XInternAtom(display, "RESOURCE_MANAGER", False);
  const Window root = XDefaultRootWindow(display);
  if (text.empty()) {
    XDeleteProperty(display, root, property);
  } else {
    XChangeProperty(display, root, property, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  }
  XCloseDisplay(display);
}

Image screenshot() {
  Image image;
  char pattern[] = "/tmp/infodiv-shot-XXXXXX";
  int fd = mkstemp(pattern);
  if (fd < 0) return image;
  close(fd);
  shell(std::string("import -window root -depth 8 ppm:") + pattern);
  std::ifstream in(pattern, std::ios::binary);
  std::string magic;
  int max = 0;
  in >> magic >> image.width >> image.height >> max;
  in.get();
  image.rgb.assign(std::istreambuf_iterator<char>(in), {});
  fs::remove(pattern);
  if (magic != "P6" || max != 255 || image.rgb.size() != 3u * image.width * image.height) image = Image{};
  return image;
}

class GuiTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = std::make_unique<XServer>();
    setenv("DISPLAY", server_->display().c_str(), 1);
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    ASSERT_FALSE(server_->display().empty()) << "Xvfb did not start";
    char pattern[] = "/tmp/infodiv-gui-XXXXXX";
    home_ = mkdtemp(pattern);
    fs::create_directory(temp());
  }
  void TearDown() override {
    gui_.reset();
    fs::remove_all(home_);
  }

  fs::path temp() const { return home_ / "temp"; }
  std::string stderr_text() const { return slurp(home_ / "stderr").value_or(""); }

  // Starts the window program and returns the id of its window once shown.
  std::string start_gui() {
    gui_ = std::make_unique<Child>(
        std::vector<std::string>{INFODIV_GUI_PROGRAM},
        std::vector<std::string>{"HOME=" + home_.string(),
                                 "LSAN_OPTIONS=print_suppressions=0:suppressions=" INFODIV_LSAN_SUPPRESSIONS},
        home_ / "stderr");
    if (!gui_->started()) return "";
    return find_window("Form1");
  }

  // The command line's run on the same files: the expected outcome.
  struct Outcome {
    std::optional<int> status;
    std::string error;  // stderr after "<program>: error: "
    std::optional<std::string> results, results2;
  };
  static std::string error_text(const std::string& stderr_text) {
    const std::size_t at = stderr_text.find("error: ");
    return at == std::string::npos ? stderr_text : stderr_text.substr(at + 7);
  }
  Outcome command_line_run() {
    const std::string command = std::string(INFODIV_CLI) + " '" + (temp() / "f3.txt").string() +
                                "' --out-dir '" + temp().string() + "' 2>&1 >/dev/null";
    const Ran ran = run_command(command);
    Outcome o{ran.status, error_text(ran.output), slurp(temp() / "results.txt"),
              slurp(temp() / "results2.txt")};
    fs::remove(temp() / "results.txt");
    fs::remove(temp() / "results2.txt");
    return o;
  }
  Outcome gui_outcome() {
    return {gui_->wait(), error_text(stderr_text()), slurp(temp() / "results.txt"),
            slurp(temp() / "results2.txt")};
  }

  static inline std::unique_ptr<XServer> server_;
  fs::path home_;
  std::unique_ptr<Child> gui_;
};

// The pixel rectangles at 96 dpi (15 twips to the pixel, rounded): the window
// 3744 x 2496 twips, "Run" at 1680, 1080 and "Quit" at 1680, 1680, both 1212 x 492.
constexpr Rect kRun96{112, 72, 81, 33};
constexpr Rect kQuit96{112, 112, 81, 33};

std::string print(Rect r) {
  return "(" + std::to_string(r.x) + ", " + std::to_string(r.y) + ", " + std::to_string(r.width) + " x " +
         std::to_string(r.height) + ")";
}

// Finds where a button's border runs against the window's background: an
// empty text when each side of `r` is drawn on its outermost pixels and the
// pixels just outside are background.
std::string check_button(const Image& image, Geometry window, Rect r) {
  const int ox = window.x, oy = window.y;
  const std::uint32_t background = image.at(ox + 2, oy + 2);
  std::string faults;
  for (int step = 1; step <= 3; ++step) {
    const int x = r.x + r.width * step / 4, y = r.y + r.height * step / 4;
    struct Side {
      const char* name;
      int inner_x, inner_y, outer_x, outer_y;
    };
    const Side sides[] = {
        {"left", r.x, y, r.x - 1, y},
        {"right", r.x + r.width - 1, y, r.x + r.width, y},
        {"top", x, r.y, x, r.y - 1},
        {"bottom", x, r.y + r.height - 1, x, r.y + r.height},
    };
    for (const Side& s : sides) {
      if (image.at(ox + s.inner_x, oy + s.inner_y) == background ||
          image.at(ox + s.outer_x, oy + s.outer_y) != background) {
        faults += std::string(" ") + s.name + " edge not at (" + std::to_string(s.inner_x) + ", " +
                  std::to_string(s.inner_y) + ");";
      }
    }
  }
  return faults;
}

// Screenshots until both buttons show at their places (the window may be
// mapped before it is drawn); the faults of the last screenshot otherwise.
std::string check_buttons(const std::string& window, Rect run, Rect quit) {
  std::string faults;
  for (auto deadline = std::chrono::steady_clock::now() + 20s; std::chrono::steady_clock::now() < deadline;) {
    Image image = screenshot();
    if (image.rgb.empty()) return "no screenshot";
    Geometry g = geometry(window);
    faults = "";
    if (std::string f = check_button(image, g, run); !f.empty()) faults += "Run " + print(run) + ":" + f;
    if (std::string f = check_button(image, g, quit); !f.empty()) faults += " Quit " + print(quit) + ":" + f;
    if (faults.empty()) break;
    std::this_thread::sleep_for(100ms);
  }
  return faults;
}

TEST_F(GuiTest, RunWritesWhatTheCommandLineWrites) {
  write_file(temp() / "f3.txt", *slurp(fs::path(INFODIV_EXAMPLES) / "f3.txt"));
  const Outcome expected = command_line_run();
  ASSERT_EQ(expected.status, 0);
  write_file(temp() / "results.txt", "from an earlier run\r\n");

  const std::string window = start_gui();
  ASSERT_FALSE(window.empty()) << "no window named Form1";
  click_centre(window, kRun96);
  const Outcome o = gui_outcome();
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(stderr_text(), "");
  ASSERT_TRUE(o.results && o.results2);
  EXPECT_TRUE(*o.results == *expected.results) << "results.txt differs from the command line's";
  EXPECT_TRUE(*o.results2 == *expected.results2) << "results2.txt differs from the command line's";
  EXPECT_EQ(slurp(temp() / "f3.txt"), slurp(fs::path(INFODIV_EXAMPLES) / "f3.txt"));
}

TEST_F(GuiTest, ErrorReportStaysUntilDismissedThenExitsOne) {
  struct Case {
    const char* name;
    std::optional<std::string> input;  // nullopt: no input file
  };
  const Case cases[] = {
      {"missing input", std::nullopt},
      {"short later line", "1,2,3\r\n4,5\r\n"},
      {"two columns", "1,2\n3,4\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(temp() / "f3.txt");
    if (c.input) write_file(temp() / "f3.txt", *c.input);
    const Outcome expected = command_line_run();
    ASSERT_EQ(expected.status, 1);

    const std::string window = start_gui();
    ASSERT_FALSE(window.empty()) << "no window named Form1";
    click_centre(window, kRun96);
    const std::string report = find_window("infodiv");
    ASSERT_FALSE(report.empty()) << "no error report";
    EXPECT_TRUE(gui_->running()) << "the program ended before the report was dismissed";
    EXPECT_EQ(stderr_text(), "infodiv-gui: error: " + expected.error);
    type_keys(report, "Return");

    const Outcome o = gui_outcome();
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.results, expected.results);
    EXPECT_EQ(o.results2, expected.results2);
    fs::remove(temp() / "results.txt");
    fs::remove(temp() / "results2.txt");
  }
}

TEST_F(GuiTest, QuitAndTitleBarCloseTouchNoFile) {
  struct Case {
    const char* name;
    void (*end)(const std::string& window);
  };
  const Case cases[] = {
      {"Quit", [](const std::string& window) { click_centre(window, kQuit96); }},
      {"title bar close", [](const std::string& window) { send_wm_delete(window); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(temp() / "f3.txt", "1,2,5\n3,0,1\n4,2,2\n");
    write_file(temp() / "results.txt", "from an earlier run\r\n");
    fs::remove(temp() / "results2.txt");

    const std::string window = start_gui();
    ASSERT_FALSE(window.empty()) << "no window named Form1";
    c.end(window);
    EXPECT_EQ(gui_->wait(), 0);
    EXPECT_EQ(stderr_text(), "");
    EXPECT_EQ(slurp(temp() / "results.txt"), "from an earlier run\r\n");
    EXPECT_FALSE(fs::exists(temp() / "results2.txt"));
  }
}

// The keyboard reaches the buttons only through the focus: "Run" holds it at
// the start, Tab moves it, Space presses the focused button, and neither
// Return nor Escape does anything (no default or cancel button).
TEST_F(GuiTest, KeyboardPressesOnlyTheFocusedButton) {
  struct Case {
    const char* keys;
    std::optional<Rect> then_click;
    bool ran;
  };
  const Case cases[] = {
      {"space", std::nullopt, true},
      {"Tab space", std::nullopt, false},
      {"Tab Tab space", std::nullopt, true},
      {"Return", kQuit96, false},
      {"Escape", kRun96, true},
      {"Tab Escape Return", kRun96, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    write_file(temp() / "f3.txt", "1,2,5\n3,0,1\n4,2,2\n");
    fs::remove(temp() / "results.txt");
    fs::remove(temp() / "results2.txt");

    const std::string window = start_gui();
    ASSERT_FALSE(window.empty()) << "no window named Form1";
    type_keys(window, c.keys);
    if (c.then_click) click_centre(window, *c.then_click);
    EXPECT_EQ(gui_->wait(), 0);
    EXPECT_EQ(fs::exists(temp() / "results2.txt"), c.ran);
  }
}

// The twips become pixels at the resolution that the display states: the
// Xft.dpi resource where set and sane, else the screen's (96 here).
TEST_F(GuiTest, ButtonsSitAtTheirTwipPositionsAndStayWhenResized) {
  struct Case {
    const char* resources;  // the root window's RESOURCE_MANAGER; "" for none
    int width, height;
    Rect run, quit;
  };
  const Case cases[] = {
      {"", 250, 166, kRun96, kQuit96},
      // 10 twips to the pixel.
      {"Xft.dpi: 144\n", 374, 250, {168, 108, 121, 49}, {168, 168, 121, 49}},
      {"Xft.dpi: 0\n", 250, 166, kRun96, kQuit96},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("resources: ") + c.resources);
    set_resources(c.resources);

    const std::string window = start_gui();
    ASSERT_FALSE(window.empty()) << "no window named Form1";
    Geometry g = geometry(window);
    EXPECT_EQ(g.width, c.width);
    EXPECT_EQ(g.height, c.height);
    EXPECT_EQ(check_buttons(window, c.run, c.quit), "");

    shell("xdotool windowsize --sync " + window + " 600 500");
    g = geometry(window);
    EXPECT_EQ(g.width, 600);
    EXPECT_EQ(g.height, 500);
    EXPECT_EQ(check_buttons(window, c.run, c.quit), "") << "after resizing";
    click_centre(window, c.quit);
    EXPECT_EQ(gui_->wait(), 0);
  }
  set_resources("");
}

}  // namespace
