#include "platform/key_dialogs.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/files.h"
#include "platform/key_dialogs_ids.h"
#include "tw/gif.h"

namespace platform {
namespace {

constexpr int kMaxPin = 32;
constexpr size_t kMaxAnimationFile = 8u << 20;
constexpr UINT kCloseFromOwner = WM_APP + 1;
constexpr UINT kLoadAnimation = WM_APP + 2;
constexpr UINT_PTR kSuccessTimer = 1, kFrameTimer = 2;
constexpr UINT kSuccessShownMs = 600;
constexpr wchar_t kClearKey = 0x7F;

HMODULE Module() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&Module), &module);
  return module;
}

std::atomic<UINT> g_pinMessage{0}, g_fingerprintMessage{0};

UINT PinMessage() {
  if (g_pinMessage == 0) RegisterKeyDialogMessages();
  return g_pinMessage;
}

UINT FingerprintMessage() {
  if (g_fingerprintMessage == 0) RegisterKeyDialogMessages();
  return g_fingerprintMessage;
}

// wchar_t is UTF-16 on Windows.
std::wstring Wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

std::wstring LoadText(UINT id) {
  const wchar_t* text = nullptr;
  const int n = LoadStringW(Module(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 && text != nullptr ? std::wstring(text, static_cast<size_t>(n)) : std::wstring();
}

// An ownerless dialog comes to the front, over the application that asked for it.
void BringForward(HWND dialog, HWND parent) {
  if (parent == nullptr) SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetForegroundWindow(dialog);
}

// An edit control keeps its text in a buffer of its own: overwritten before it is emptied.
void ClearEdit(HWND edit) {
  const int length = GetWindowTextLengthW(edit);
  if (length > 0) {
    std::wstring filler(static_cast<size_t>(length), L'*');
    SetWindowTextW(edit, filler.c_str());
  }
  SetWindowTextW(edit, L"");
}

// The on-screen keyboard: a child dialog whose keys post to the PIN dialog around it.
class CXKeyboard {
 public:
  static HWND Create(HWND pin, const RECT& place) {
    HWND keyboard = CreateDialogParamW(Module(), L"IDD_XKEYBOARD", pin, &CXKeyboard::Proc, 0);
    if (keyboard != nullptr) SetWindowPos(keyboard, nullptr, place.left, place.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    return keyboard;
  }

 private:
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM w, LPARAM) {
    if (message == WM_INITDIALOG) return FALSE;  // the focus stays with the PIN field
    if (message != WM_COMMAND || HIWORD(w) != BN_CLICKED) return FALSE;
    static const char kDigits[] = "1234567890";
    const int id = LOWORD(w);
    wchar_t key = 0;
    if (id >= IDC_KEY_1 && id <= IDC_KEY_0) key = static_cast<wchar_t>(kDigits[id - IDC_KEY_1]);
    if (id == IDC_KEY_BACK) key = L'\b';
    if (id == IDC_KEY_CLEAR) key = kClearKey;
    if (key == 0) return FALSE;
    PostMessageW(GetParent(hwnd), PinMessage(), key, 0);
    return TRUE;
  }
};

class PIN {
 public:
  explicit PIN(std::wstring caption) : caption_(std::move(caption)) {}

  int Run(HWND parent, char* pin, size_t size) {
    out_ = pin;
    size_ = size;
    const INT_PTR r = DialogBoxParamW(Module(), L"IDD_PIN", parent, &PIN::Proc, reinterpret_cast<LPARAM>(this));
    return r == IDOK ? length_ : -1;
  }

 private:
  static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrW(hwnd, DWLP_USER, l);
      reinterpret_cast<PIN*>(l)->Init(hwnd);
      return FALSE;
    }
    auto* self = reinterpret_cast<PIN*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (self == nullptr) return FALSE;
    if (message == PinMessage()) {
      self->Key(hwnd, static_cast<wchar_t>(w));
      return TRUE;
    }
    if (message == WM_COMMAND && LOWORD(w) == IDOK) {
      if (self->Accept(hwnd)) EndDialog(hwnd, IDOK);
      return TRUE;
    }
    if (message == WM_COMMAND && LOWORD(w) == IDCANCEL) {
      ClearEdit(GetDlgItem(hwnd, IDC_PIN_EDIT));
      EndDialog(hwnd, IDCANCEL);
      return TRUE;
    }
    return FALSE;
  }

  void Init(HWND hwnd) {
    SetWindowTextW(hwnd, caption_.c_str());
    HWND edit = GetDlgItem(hwnd, IDC_PIN_EDIT);
    SendMessageW(edit, EM_SETLIMITTEXT, kMaxPin, 0);
    RECT place{};
    if (HWND marker = GetDlgItem(hwnd, IDC_KEYBOARD_PLACE)) {
      GetWindowRect(marker, &place);
      MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&place), 2);
    }
    CXKeyboard::Create(hwnd, place);
    BringForward(hwnd, GetParent(hwnd));
    SetFocus(edit);
  }

  void Key(HWND hwnd, wchar_t key) {
    HWND edit = GetDlgItem(hwnd, IDC_PIN_EDIT);
    const int length = GetWindowTextLengthW(edit);
    if (key == kClearKey) {
      ClearEdit(edit);
    } else if (key == L'\b') {
      if (length > 0) {
        SendMessageW(edit, EM_SETSEL, length - 1, length);
        SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
      }
    } else if (length < kMaxPin) {
      const wchar_t text[2] = {key, 0};
      SendMessageW(edit, EM_SETSEL, length, length);
      SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    }
    SetFocus(edit);
  }

  // The PIN into the caller's buffer; every copy on the way is cleared.
  bool Accept(HWND hwnd) {
    HWND edit = GetDlgItem(hwnd, IDC_PIN_EDIT);
    wchar_t text[kMaxPin + 2] = {};
    const int n = GetWindowTextW(edit, text, kMaxPin + 1);
    int bytes = 0;
    if (n > 0 && out_ != nullptr && size_ > 1) {
      bytes = WideCharToMultiByte(CP_ACP, 0, text, n, out_, static_cast<int>(size_ - 1), nullptr, nullptr);
      out_[bytes > 0 ? bytes : 0] = '\0';
    }
    SecureZeroMemory(text, sizeof text);
    if (bytes <= 0) {
      MessageBeep(MB_ICONWARNING);
      return false;
    }
    ClearEdit(edit);
    length_ = bytes;
    return true;
  }

  std::wstring caption_;
  char* out_ = nullptr;
  size_t size_ = 0;
  int length_ = -1;
};

// An animated picture control: the frames of a GIF, each shown for its own delay, scaled to
// fit and centred on white.
class CPictureEx {
 public:
  static void Register() {
    static std::once_flag once;
    std::call_once(once, [] {
      WNDCLASSEXW c{};
      c.cbSize = sizeof c;
      c.lpfnWndProc = &CPictureEx::Proc;
      c.hInstance = Module();
      c.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
      c.lpszClassName = L"CPictureEx";
      RegisterClassExW(&c);
    });
  }

  static void Load(HWND control, const std::string& file) {
    SendMessageW(control, kLoadAnimation, 0, reinterpret_cast<LPARAM>(&file));
  }

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
    auto* self = reinterpret_cast<CPictureEx*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (message) {
      case WM_NCCREATE:
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new CPictureEx()));
        break;
      case WM_NCDESTROY:
        KillTimer(hwnd, kFrameTimer);
        delete self;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        break;
      case kLoadAnimation:
        if (self != nullptr) self->Open(hwnd, *reinterpret_cast<const std::string*>(l));
        return 0;
      case WM_TIMER:
        if (self != nullptr && w == kFrameTimer) self->Next(hwnd);
        return 0;
      case WM_ERASEBKGND:
        return 1;
      case WM_PAINT:
        if (self != nullptr) {
          self->Paint(hwnd);
          return 0;
        }
        break;
      default:
        break;
    }
    return DefWindowProcW(hwnd, message, w, l);
  }

  void Open(HWND hwnd, const std::string& file) {
    std::string data;
    auto animation = ReadWholeFile(file, kMaxAnimationFile, &data) == ReadResult::Ok
                         ? tw::gif::Decode(reinterpret_cast<const uint8_t*>(data.data()), data.size())
                         : std::nullopt;
    if (!animation) return;
    animation_ = std::move(*animation);
    // Transparent pixels show the white background; a DIB of 32 bits stores 0x00RRGGBB.
    for (auto& frame : animation_.frames) {
      for (uint32_t& p : frame.pixels) p = (p >> 24) != 0 ? (p & 0xFFFFFFu) : 0xFFFFFFu;
    }
    frame_ = 0;
    SetTimer(hwnd, kFrameTimer, animation_.frames[0].delayMs, nullptr);
    InvalidateRect(hwnd, nullptr, FALSE);
  }

  void Next(HWND hwnd) {
    if (animation_.frames.empty()) return;
    frame_ = (frame_ + 1) % animation_.frames.size();
    SetTimer(hwnd, kFrameTimer, animation_.frames[frame_].delayMs, nullptr);
    InvalidateRect(hwnd, nullptr, FALSE);
  }

  void Paint(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT client;
    GetClientRect(hwnd, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    if (!animation_.frames.empty()) {
      const int cw = client.right - client.left, ch = client.bottom - client.top;
      const int w = animation_.width, h = animation_.height;
      // The largest size that fits and keeps the picture's proportions.
      int dw = cw, dh = cw * h / w;
      if (dh > ch) {
        dh = ch;
        dw = ch * w / h;
      }
      BITMAPINFO info{};
      info.bmiHeader.biSize = sizeof info.bmiHeader;
      info.bmiHeader.biWidth = w;
      info.bmiHeader.biHeight = -h;
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = 32;
      info.bmiHeader.biCompression = BI_RGB;
      SetStretchBltMode(dc, HALFTONE);
      StretchDIBits(dc, (cw - dw) / 2, (ch - dh) / 2, dw, dh, 0, 0, w, h, animation_.frames[frame_].pixels.data(),
                    &info, DIB_RGB_COLORS, SRCCOPY);
    }
    EndPaint(hwnd, &ps);
  }

  tw::gif::Animation animation_;
  size_t frame_ = 0;
};

class CFingerprintDlg : public FingerprintDialog {
 public:
  CFingerprintDlg(HWND parent, std::string animation) : parent_(parent), animation_(std::move(animation)) {}

  // Starts the dialog's thread; false when the dialog could not be made (the thread has ended).
  bool Launch() {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] { return started_; });
    if (hwnd_ != nullptr) return true;
    lock.unlock();
    thread_.join();
    return false;
  }

  ~CFingerprintDlg() override {
    if (HWND w = hwnd_.load()) PostMessageW(w, kCloseFromOwner, 0, 0);
    if (thread_.joinable()) thread_.join();
  }

  void Post(Event event) override {
    if (HWND w = hwnd_.load()) PostMessageW(w, FingerprintMessage(), static_cast<WPARAM>(event), 0);
  }

  bool WaitClosed(uint32_t ms) override {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return closedByUser_; });
    return closedByUser_;
  }

 private:
  void Run() {
    HWND dialog = CreateDialogParamW(Module(), L"IDD_FINGERPRINT", parent_, &CFingerprintDlg::Proc,
                                     reinterpret_cast<LPARAM>(this));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hwnd_ = dialog;
      started_ = true;
    }
    ready_.notify_all();
    if (dialog == nullptr) return;
    ShowWindow(dialog, SW_SHOW);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
      if (!IsWindow(dialog) || !IsDialogMessageW(dialog, &m)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
      }
    }
    hwnd_ = nullptr;
  }

  static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_INITDIALOG) {
      SetWindowLongPtrW(hwnd, DWLP_USER, l);
      auto* self = reinterpret_cast<CFingerprintDlg*>(l);
      CPictureEx::Load(GetDlgItem(hwnd, IDC_FP_PICTURE), self->animation_);
      SetDlgItemTextW(hwnd, IDC_FP_STATUS, LoadText(IDS_FP_WAITING).c_str());
      BringForward(hwnd, self->parent_);
      return TRUE;
    }
    auto* self = reinterpret_cast<CFingerprintDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (self == nullptr) return FALSE;
    if (message == FingerprintMessage()) {
      static const UINT kTexts[] = {IDS_FP_SUCCESS, IDS_FP_MISMATCH, IDS_FP_WAITING, IDS_FP_ERROR};
      if (w < 4) SetDlgItemTextW(hwnd, IDC_FP_STATUS, LoadText(kTexts[w]).c_str());
      // Success shows for a moment, then the dialog closes itself.
      if (w == static_cast<WPARAM>(Event::Success) && !self->succeeded_) {
        self->succeeded_ = true;
        SetTimer(hwnd, kSuccessTimer, kSuccessShownMs, nullptr);
      }
      return TRUE;
    }
    switch (message) {
      case kCloseFromOwner:
        if (!self->succeeded_) DestroyWindow(hwnd);
        return TRUE;
      case WM_TIMER:
        if (w == kSuccessTimer) DestroyWindow(hwnd);
        return TRUE;
      case WM_COMMAND:
        if (LOWORD(w) != IDCANCEL) return FALSE;
        [[fallthrough]];
      case WM_CLOSE: {
        {
          std::lock_guard<std::mutex> lock(self->mutex_);
          self->closedByUser_ = true;
        }
        self->closed_.notify_all();
        DestroyWindow(hwnd);
        return TRUE;
      }
      case WM_DESTROY:
        KillTimer(hwnd, kSuccessTimer);
        PostQuitMessage(0);
        return TRUE;
      default:
        return FALSE;
    }
  }

  HWND parent_;
  std::string animation_;
  std::thread thread_;
  std::atomic<HWND> hwnd_{nullptr};
  std::mutex mutex_;
  std::condition_variable ready_, closed_;
  bool started_ = false;
  bool closedByUser_ = false;
  bool succeeded_ = false;  // the dialog's thread only
};

}  // namespace

void RegisterKeyDialogMessages() {
  g_pinMessage = RegisterWindowMessageA(kPinDialogMessage);
  g_fingerprintMessage = RegisterWindowMessageA(kFingerprintDialogMessage);
}

bool KeyDialogsAvailable() {
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  HWINSTA station = GetProcessWindowStation();
  if (station == nullptr || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

int AskPinDialog(void* parent, const std::u16string& caption, char* pin, size_t size) {
  if (pin == nullptr || size < 2 || !KeyDialogsAvailable()) return -1;
  PIN dialog(Wide(caption));
  return dialog.Run(static_cast<HWND>(parent), pin, size);
}

bool AskRetryBox(void* parent, const std::u16string& text) {
  const UINT style = MB_OKCANCEL | MB_ICONWARNING | MB_SETFOREGROUND | (parent == nullptr ? MB_TOPMOST : 0);
  return KeyDialogsAvailable() &&
         MessageBoxW(static_cast<HWND>(parent), Wide(text).c_str(), LoadText(IDS_BOX_CAPTION).c_str(), style) == IDOK;
}

void ShowErrorBox(void* parent, const std::u16string& text) {
  if (!KeyDialogsAvailable()) return;
  const UINT style = MB_OK | MB_ICONERROR | MB_SETFOREGROUND | (parent == nullptr ? MB_TOPMOST : 0);
  MessageBoxW(static_cast<HWND>(parent), Wide(text).c_str(), LoadText(IDS_BOX_CAPTION).c_str(), style);
}

std::unique_ptr<FingerprintDialog> FingerprintDialog::Start(void* parent, const std::string& animation) {
  if (!KeyDialogsAvailable()) return nullptr;
  CPictureEx::Register();
  auto dialog = std::make_unique<CFingerprintDlg>(static_cast<HWND>(parent), animation);
  if (!dialog->Launch()) return nullptr;
  return dialog;
}

}  // namespace platform
