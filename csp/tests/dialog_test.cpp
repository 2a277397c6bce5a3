// The provider's dialogs on a (virtual) display: a helper thread finds each dialog the way a
// person sees it, presses the on-screen keys and buttons, and keeps a screenshot of each.
#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/key_dialogs_ids.h"
#include "tw/bmp.h"
#include "tw/testing.h"
#include "wine_support.h"

namespace {

using namespace csptest;
constexpr DWORD kCancelled = 0x88000061, kWrongPin = 0x8800003D, kPinLocked = 0x8800003E, kNoFinger = 0x6955;
constexpr int kMessageBoxText = 0xFFFF;  // the static text of a message box
const auto kPatience = std::chrono::seconds(20);

bool Chinese() { return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_CHINESE; }

std::wstring ClassOf(HWND w) {
  wchar_t name[64] = {};
  GetClassNameW(w, name, 64);
  return name;
}

std::wstring TextOf(HWND w) {
  wchar_t text[512] = {};
  GetWindowTextW(w, text, 512);
  return text;
}

// The visible top-level dialogs of this process.
std::vector<HWND> OpenDialogs() {
  std::vector<HWND> found;
  EnumWindows(
      [](HWND w, LPARAM l) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == GetCurrentProcessId() && IsWindowVisible(w) && ClassOf(w) == L"#32770") {
          reinterpret_cast<std::vector<HWND>*>(l)->push_back(w);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

// The first such dialog that `match` accepts, within the patience.
HWND WaitForDialog(const std::function<bool(HWND)>& match) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    for (HWND w : OpenDialogs()) {
      if (match(w)) return w;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return nullptr;
}

HWND WaitForPinDialog() {
  return WaitForDialog([](HWND w) { return GetDlgItem(w, IDC_PIN_EDIT) != nullptr; });
}
HWND WaitForMessageBox() {
  return WaitForDialog([](HWND w) { return GetDlgItem(w, kMessageBoxText) != nullptr; });
}
HWND WaitForFingerprintDialog() {
  return WaitForDialog([](HWND w) { return GetDlgItem(w, IDC_FP_PICTURE) != nullptr; });
}

bool WaitGone(HWND w) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (IsWindow(w) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return !IsWindow(w);
}

void Press(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }

// The keys of the on-screen keyboard, a dialog inside the PIN dialog.
void Type(HWND pin, const std::string& digits) {
  HWND keyboard = FindWindowExW(pin, nullptr, L"#32770", nullptr);
  ASSERT_NE(keyboard, nullptr);
  for (char c : digits) {
    const int id = c == '0' ? IDC_KEY_0 : IDC_KEY_1 + (c - '1');
    HWND key = GetDlgItem(keyboard, id);
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(TextOf(key), std::wstring(1, static_cast<wchar_t>(c)));
    Press(key);
  }
}

// Waits until the PIN field has `length` characters: the keys' messages are posted.
bool FieldHolds(HWND pin, int length) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (GetWindowTextLengthW(GetDlgItem(pin, IDC_PIN_EDIT)) != length) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void EnterPin(HWND pin, const std::string& digits) {
  Type(pin, digits);
  ASSERT_TRUE(FieldHolds(pin, static_cast<int>(digits.size())));
  Press(GetDlgItem(pin, IDOK));
}

// The window as it shows on the screen, kept as a test artefact (one per language).
void Screenshot(HWND w, const std::string& name) {
  // Drawing happens on the dialog's own thread; give it a moment to finish.
  RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RECT r{};
  GetWindowRect(w, &r);
  const int width = r.right - r.left, height = r.bottom - r.top;
  ASSERT_GT(width, 0);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  const int stride = (width * 3 + 3) & ~3;
  std::vector<uint8_t> rows(static_cast<size_t>(stride) * static_cast<size_t>(height));
  GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), rows.data(), &info, DIB_RGB_COLORS);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  std::vector<uint8_t> bgr;
  std::set<uint32_t> colours;
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = &rows[static_cast<size_t>(y) * static_cast<size_t>(stride)];
    bgr.insert(bgr.end(), row, row + width * 3);
    for (int x = 0; x < width; ++x) colours.insert(row[3 * x] | row[3 * x + 1] << 8 | row[3 * x + 2] << 16);
  }
  // A drawn dialog has its frame, text and controls; a blank capture has one or two colours.
  EXPECT_GT(colours.size(), 8u) << name << ": the screenshot is blank";
  const std::wstring folder = Folder() + L"\\artifacts";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::string file = std::filesystem::path(folder).string() + "\\" + name + (Chinese() ? ".zh" : ".en") + ".bmp";
  EXPECT_TRUE(tw::bmp::Save(file, tw::bmp::Colour24(width, height, bgr.data())));
}

class Dialogs : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    store_ = new tw::testing::WorkDirectory("csp_dialog_store", false);
    registered_ = new Registered(store_->path().wstring());
    ASSERT_TRUE(registered_->ok());
    // The fingerprint dialog's animation lives in the system folder.
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_TRUE(CopyFileW((Folder() + L"\\MVFingerprint.gif").c_str(),
                          (std::wstring(system) + L"\\MVFingerprint.gif").c_str(), FALSE));
    Prov verify(nullptr, CRYPT_VERIFYCONTEXT);
    ASSERT_TRUE(verify.ok()) << std::hex << verify.error();
    ASSERT_EQ(SetPin(verify.get(), "12345678"), 0u);
    Prov created(L"dialogs", CRYPT_NEWKEYSET);
    ASSERT_TRUE(created.ok()) << std::hex << created.error();
    HCRYPTKEY key = 0;
    ASSERT_TRUE(CryptGenKey(created.get(), AT_SIGNATURE, 1024u << 16, &key));
    CryptDestroyKey(key);
  }
  static void TearDownTestSuite() {
    delete registered_;
    delete store_;
  }

 protected:
  // A context on the key with nothing cached: the next private operation has to ask.
  void SetUp() override {
    Control("reset", 0);
    Control("unlock", 0);
    Control("logout", 0);
  }

  // Signs on another thread while `person` answers the dialogs on this one; the signing's
  // error. Should the person fail, every dialog left is cancelled and the finger presented, so
  // that a failing test ends instead of waiting for ever.
  DWORD SignWhile(const std::function<void()>& person) {
    Prov prov(L"dialogs", 0);
    EXPECT_TRUE(prov.ok()) << std::hex << prov.error();
    std::atomic<bool> done{false};
    DWORD error = ~0u;
    std::thread signer([&] {
      error = SignError(prov.get());
      done = true;
    });
    person();
    while (!done) {
      for (HWND w : OpenDialogs()) PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
      Control("finger_after", 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    signer.join();
    return error;
  }

  static tw::testing::WorkDirectory* store_;
  static Registered* registered_;
};
tw::testing::WorkDirectory* Dialogs::store_ = nullptr;
Registered* Dialogs::registered_ = nullptr;

TEST_F(Dialogs, WrongPinRetryThenRightPinSigns) {
  std::wstring warning;
  const DWORD error = SignWhile([&] {
    HWND pin = WaitForPinDialog();
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(TextOf(pin), Chinese() ? L"请输入USB Key的PIN码" : L"Enter the PIN of your USB key");
    Type(pin, "1111");
    ASSERT_TRUE(FieldHolds(pin, 4));
    Press(GetDlgItem(FindWindowExW(pin, nullptr, L"#32770", nullptr), IDC_KEY_BACK));
    ASSERT_TRUE(FieldHolds(pin, 3));
    Type(pin, "11111");
    ASSERT_TRUE(FieldHolds(pin, 8));
    Screenshot(pin, "pin_dialog");
    Press(GetDlgItem(pin, IDOK));
    HWND box = WaitForMessageBox();
    ASSERT_NE(box, nullptr);
    warning = TextOf(GetDlgItem(box, kMessageBoxText));
    Screenshot(box, "wrong_pin_box");
    Press(GetDlgItem(box, IDOK));
    HWND again = WaitForPinDialog();
    ASSERT_NE(again, nullptr);
    EnterPin(again, "12345678");
  });
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(warning, Chinese() ? L"PIN码错误，还剩5次重试机会。\n是否重试？" : L"Wrong PIN. 5 tries left.\nTry again?");
}

TEST_F(Dialogs, CancelEndsWithCancelled) {
  const DWORD error = SignWhile([] {
    HWND pin = WaitForPinDialog();
    ASSERT_NE(pin, nullptr);
    Type(pin, "123");
    Press(GetDlgItem(pin, IDCANCEL));
  });
  EXPECT_EQ(error, kCancelled);
}

TEST_F(Dialogs, CancelAtTheRetryQuestionEndsWithWrongPin) {
  const DWORD error = SignWhile([] {
    HWND pin = WaitForPinDialog();
    ASSERT_NE(pin, nullptr);
    EnterPin(pin, "999");
    HWND box = WaitForMessageBox();
    ASSERT_NE(box, nullptr);
    Press(GetDlgItem(box, IDCANCEL));
  });
  EXPECT_EQ(error, kWrongPin);
}

TEST_F(Dialogs, WrongPinsUntilTheLock) {
  std::wstring locked;
  const DWORD error = SignWhile([&] {
    for (int attempt = 1; attempt <= 6; ++attempt) {
      HWND pin = WaitForPinDialog();
      ASSERT_NE(pin, nullptr) << attempt;
      EnterPin(pin, "0000");
      HWND box = WaitForMessageBox();
      ASSERT_NE(box, nullptr) << attempt;
      if (attempt == 6) {
        locked = TextOf(GetDlgItem(box, kMessageBoxText));
        Screenshot(box, "pin_locked_box");
      }
      Press(GetDlgItem(box, IDOK));
    }
  });
  EXPECT_EQ(error, kPinLocked);
  EXPECT_EQ(locked, Chinese() ? L"USB Key的PIN码已锁定，请联系管理员解锁。"
                              : L"The PIN of your USB key is locked. Ask your administrator to unlock it.");
}

TEST_F(Dialogs, FingerprintPresentedAfterSomePolls) {
  Control("category", 4);
  Control("finger_after", 8);
  const int before = Calls("HSFingerprintVerify");
  std::wstring status;
  const DWORD error = SignWhile([&] {
    HWND dialog = WaitForFingerprintDialog();
    ASSERT_NE(dialog, nullptr);
    status = TextOf(GetDlgItem(dialog, IDC_FP_STATUS));
    // A moment for the animation to run before the picture is taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (IsWindow(dialog)) Screenshot(dialog, "fingerprint_dialog");
    EXPECT_TRUE(WaitGone(dialog));
  });
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(status,
            Chinese() ? L"请将手指放在USB Key的指纹传感器上。" : L"Place your finger on the sensor of your USB key.");
  // Eight answers of "no finger yet", then the finger.
  EXPECT_EQ(Calls("HSFingerprintVerify") - before, 9);
}

TEST_F(Dialogs, ClosingTheFingerprintDialogEndsTheWait) {
  Control("category", 4);
  Control("finger_after", 1000000);
  const DWORD error = SignWhile([] {
    HWND dialog = WaitForFingerprintDialog();
    ASSERT_NE(dialog, nullptr);
    Press(GetDlgItem(dialog, IDCANCEL));
    EXPECT_TRUE(WaitGone(dialog));
  });
  EXPECT_EQ(error, kNoFinger);
}

}  // namespace
