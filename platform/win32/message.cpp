#include "platform/message.h"

#include <windows.h>

#include "platform/codepage.h"

namespace platform::message {
namespace {

// A text of the program's string table, or the fall-back.
std::wstring ResourceText(HINSTANCE instance, int id, const std::string& fallback) {
  if (id != 0) {
    const wchar_t* text = nullptr;
    // A zero length asks for a pointer into the resource itself.
    const int n = ::LoadStringW(instance, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
    if (n > 0 && text != nullptr) return std::wstring(text, static_cast<size_t>(n));
  }
  return WideFromUtf8(fallback);
}

class Win32Window final : public MessageWindow {
 public:
  Win32Window(Procedure procedure, HACCEL accelerators)
      : procedure_(std::move(procedure)), accelerators_(accelerators) {}

  WindowHandle Handle() const override { return hwnd_; }

  int Run() override {
    MSG msg;
    BOOL got;
    while ((got = ::GetMessageW(&msg, nullptr, 0, 0)) != 0) {
      if (got == -1) return -1;
      if (accelerators_ == nullptr || !::TranslateAcceleratorW(msg.hwnd, accelerators_, &msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
      }
    }
    return static_cast<int>(msg.wParam);
  }

  void PostQuit(int code) override { ::PostQuitMessage(code); }

  bool Send(uint32_t id, uintptr_t wParam, intptr_t lParam) override {
    if (!::IsWindow(hwnd_)) return false;
    ::SendMessageW(hwnd_, id, wParam, lParam);
    return true;
  }

  void Destroy() override { ::DestroyWindow(hwnd_); }

  bool HasDrawingContext() override {
    HDC dc = ::GetDC(hwnd_);
    if (dc == nullptr) return false;
    ::ReleaseDC(hwnd_, dc);
    return true;
  }

  static LRESULT CALLBACK Procedure_(HWND hwnd, UINT id, WPARAM wParam, LPARAM lParam) {
    if (id == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
      ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      static_cast<Win32Window*>(create->lpCreateParams)->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<Win32Window*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr && self->procedure_) {
      if (id == WM_PAINT) {
        PAINTSTRUCT ps;
        ::BeginPaint(hwnd, &ps);
        self->procedure_(Message{id, wParam, lParam});
        ::EndPaint(hwnd, &ps);
        return 0;
      }
      if (self->procedure_(Message{id, wParam, lParam})) return 0;
    }
    return ::DefWindowProcW(hwnd, id, wParam, lParam);
  }

 private:
  Procedure procedure_;
  HACCEL accelerators_;
  HWND hwnd_ = nullptr;
};

}  // namespace

uint32_t RegisterMessage(const std::string& name) { return ::RegisterWindowMessageW(WideFromUtf8(name).c_str()); }

bool Post(WindowHandle window, uint32_t id, uintptr_t wParam, intptr_t lParam) {
  return ::PostMessageW(static_cast<HWND>(window), id, wParam, lParam) != FALSE;
}

std::unique_ptr<MessageWindow> MessageWindow::Create(const WindowOptions& options, Procedure procedure,
                                                     Failure* failure) {
  if (failure != nullptr) *failure = Failure::None;
  HINSTANCE instance = ::GetModuleHandleW(nullptr);
  const std::wstring title = ResourceText(instance, options.titleId, options.title);
  std::wstring className = ResourceText(instance, options.classNameId, options.className);
  if (className.empty()) className = L"TarnwickMessageWindow";
  HACCEL accelerators =
      options.acceleratorsId != 0 ? ::LoadAcceleratorsW(instance, MAKEINTRESOURCEW(options.acceleratorsId)) : nullptr;
  auto window = std::make_unique<Win32Window>(std::move(procedure), accelerators);

  WNDCLASSEXW wc = {};
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = Win32Window::Procedure_;
  wc.hInstance = instance;
  if (options.iconId != 0) {
    wc.hIcon = ::LoadIconW(instance, MAKEINTRESOURCEW(options.iconId));
    wc.hIconSm = wc.hIcon;
  }
  wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszMenuName = options.menuId != 0 ? MAKEINTRESOURCEW(options.menuId) : nullptr;
  wc.lpszClassName = className.c_str();
  // A second window of the same class in this program finds the class there already.
  if (::RegisterClassExW(&wc) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    if (failure != nullptr) *failure = Failure::ClassRegistration;
    return nullptr;
  }
  HWND hwnd = ::CreateWindowExW(0, className.c_str(), title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                CW_USEDEFAULT, 0, nullptr, nullptr, instance, window.get());
  if (hwnd == nullptr) {
    if (failure != nullptr) *failure = Failure::WindowCreation;
    return nullptr;
  }
  ::ShowWindow(hwnd, SW_HIDE);
  ::UpdateWindow(hwnd);
  return window;
}

}  // namespace platform::message
