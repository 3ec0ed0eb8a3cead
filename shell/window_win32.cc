// Form1 as a native Win32 window: the layout of form1_layout.h at the
// system's DPI, "Run" and "Quit" as plain push buttons, Tab between them
// through IsDialogMessage, Space presses the focused one; Return and Escape
// do nothing. The run happens inside the click handler of "Run",
// on the window's thread, and the program ends after it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <exception>
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

// Away from IDOK (1) and IDCANCEL (2), which IsDialogMessage sends for Return
// and Escape: Escape must not reach "Quit", as the window has no cancel button.
constexpr int kCommand1Id = 101;  // "Run"
constexpr int kCommand2Id = 102;  // "Quit"

struct Form1 {
  HWND window = nullptr;
  HWND command1 = nullptr;
  HWND command2 = nullptr;
  HWND focus = nullptr;  // the button that gets the focus back on activation
  int exit_status = 0;
};
Form1 form1;

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
  return wide;
}

void end_program(int status) {
  form1.exit_status = status;
  ::DestroyWindow(form1.window);
}

// The run, synchronously: the window neither repaints nor takes input until
// the program ends, and no button can stop it.
void Command1_Click() {
  std::string report;
  try {
    run_analysis(host_paths());
  } catch (const RunError& e) {
    report = e.what();
  } catch (const std::bad_alloc&) {
    report = error_name(ErrorKind::OutOfMemory);
  } catch (const std::exception& e) {
    report = e.what();
  }
  if (!report.empty()) {
    std::fprintf(stderr, "infodiv-gui: error: %s\n", report.c_str());
    // Keys and clicks that queued up while the run held the thread are
    // dropped: a key pressed during a long run must not dismiss the report unseen.
    MSG pending{};
    while (::PeekMessageW(&pending, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE) ||
           ::PeekMessageW(&pending, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
    ::MessageBoxW(form1.window, widen(report).c_str(), L"infodiv", MB_OK | MB_ICONERROR);
    end_program(1);
    return;
  }
  end_program(0);
}

void Command2_Click() { end_program(0); }

bool is_button(HWND control) { return control == form1.command1 || control == form1.command2; }

LRESULT CALLBACK form1_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED) {
        if (LOWORD(wparam) == kCommand1Id) Command1_Click();
        if (LOWORD(wparam) == kCommand2Id) Command2_Click();
      }
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wparam) == WA_INACTIVE) {
        if (HWND focus = ::GetFocus(); is_button(focus)) form1.focus = focus;
      }
      break;
    case WM_SETFOCUS:
      ::SetFocus(form1.focus);
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(form1.exit_status);
      return 0;
    default: break;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

HWND create_button(const wchar_t* caption, const TwipRect& rect, int id, int dpi, HINSTANCE instance) {
  // BS_PUSHBUTTON, not BS_DEFPUSHBUTTON; captions without '&', so no access keys.
  return ::CreateWindowExW(0, L"BUTTON", caption, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                           twips_to_pixels(rect.left, dpi), twips_to_pixels(rect.top, dpi),
                           twips_to_pixels(rect.width, dpi), twips_to_pixels(rect.height, dpi),
                           form1.window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                           nullptr);
}

}  // namespace

int run_window_program(int, char**) {
  // Lay out at the system's DPI rather than let Windows stretch a 96-DPI bitmap.
  ::SetProcessDPIAware();
  HINSTANCE instance = ::GetModuleHandleW(nullptr);

  WNDCLASSEXW form_class{};
  form_class.cbSize = sizeof form_class;
  form_class.lpfnWndProc = form1_procedure;
  form_class.hInstance = instance;
  form_class.hIcon = ::LoadIconW(nullptr, IDI_APPLICATION);
  form_class.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  form_class.hbrBackground = ::GetSysColorBrush(COLOR_BTNFACE);
  form_class.lpszClassName = L"Form1";
  if (::RegisterClassExW(&form_class) == 0) return 1;

  HDC screen = ::GetDC(nullptr);
  const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
  ::ReleaseDC(nullptr, screen);

  // The layout gives the client area; the frame comes on top of it.
  constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
  RECT frame{0, 0, twips_to_pixels(kForm1ClientWidth, dpi), twips_to_pixels(kForm1ClientHeight, dpi)};
  ::AdjustWindowRect(&frame, kStyle, FALSE);
  form1.window = ::CreateWindowExW(0, L"Form1", L"Form1", kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                                   frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                   instance, nullptr);
  if (form1.window == nullptr) return 1;
  // Created in tab order: "Run" first.
  form1.command1 = create_button(L"Run", kCommand1Rect, kCommand1Id, dpi, instance);
  form1.command2 = create_button(L"Quit", kCommand2Rect, kCommand2Id, dpi, instance);
  if (form1.command1 == nullptr || form1.command2 == nullptr) return 1;

  // The buttons take the system's message font, sized for this DPI.
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  HFONT font = nullptr;
  if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    font = ::CreateFontIndirectW(&metrics.lfMessageFont);
  }
  if (font == nullptr) font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  for (HWND button : {form1.command1, form1.command2}) {
    ::SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }

  form1.focus = form1.command1;
  ::ShowWindow(form1.window, SW_SHOWNORMAL);
  ::UpdateWindow(form1.window);
  ::SetFocus(form1.command1);

  MSG message{};
  BOOL got = 0;
  while ((got = ::GetMessageW(&message, nullptr, 0, 0)) > 0) {
    // Return presses nothing: the window has no default button, and the dialog
    // manager would otherwise treat the focused push button as one.
    const bool is_return = (message.message == WM_KEYDOWN || message.message == WM_KEYUP ||
                            message.message == WM_CHAR) && message.wParam == VK_RETURN;
    if (is_return && (message.hwnd == form1.window || ::IsChild(form1.window, message.hwnd))) continue;
    if (::IsDialogMessageW(form1.window, &message)) continue;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  return got < 0 ? 1 : static_cast<int>(message.wParam);
}

}  // namespace infodiv
