// The user-verification dialogs of the cryptographic provider, from the dialog templates in the
// module that links this code: the PIN dialog with its on-screen keyboard, the wrong-PIN and
// locked boxes, and the fingerprint dialog with its animation. Windows only: on Linux no dialog
// can be shown and every question counts as cancelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The registered window messages: the keyboard's key presses to the PIN dialog, and the
// verification's outcomes to the fingerprint dialog.
constexpr const char* kPinDialogMessage = "8F6658A8-9D80-48dc-A398-C4B17DED96A7";
constexpr const char* kFingerprintDialogMessage = "8F6658A8-9D80-48dc-A398-C4B17DED96A7-FINGERPRINT";
void RegisterKeyDialogMessages();

// Whether a person can see a dialog: false in a service's non-interactive window station and
// on Linux.
bool KeyDialogsAvailable();

// The PIN dialog, modal on the calling thread, owned by `parent` (an HWND, or null). The PIN
// goes to `pin` (up to `size` - 1 bytes in the ANSI code page, terminated); the answer is its
// length, or -1 when the person cancels or no dialog can be shown. Every buffer that held the
// PIN inside is cleared.
int AskPinDialog(void* parent, const std::u16string& caption, char* pin, size_t size);

// A warning box with OK and Cancel: true for OK.
bool AskRetryBox(void* parent, const std::u16string& text);
// An error box with OK.
void ShowErrorBox(void* parent, const std::u16string& text);

// The fingerprint dialog, in a thread of its own, told of each outcome by posted messages.
class FingerprintDialog {
 public:
  enum class Event { Success = 0, Mismatch = 1, Waiting = 2, Error = 3 };
  // Null when it cannot be shown. `animation` is a GIF file; a missing one leaves the picture
  // empty.
  static std::unique_ptr<FingerprintDialog> Start(void* parent, const std::string& animation);
  // Closes the dialog (after a moment, when it shows success) and waits for its thread.
  virtual ~FingerprintDialog() = default;
  // Never blocks.
  virtual void Post(Event event) = 0;
  // Waits at most `ms`; true once the person has closed the dialog.
  virtual bool WaitClosed(uint32_t ms) = 0;
};

}  // namespace platform
