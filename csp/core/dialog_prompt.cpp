// The prompt of the module: the platform's dialogs where a person can see them, else every
// question is answered as cancelled.
#include "platform/folders.h"
#include "platform/key_dialogs.h"
#include "platform/module.h"
#include "prompt.h"

namespace csp {
namespace {

constexpr const char* kAnimation = "MVFingerprint.gif";

class View : public FingerprintView {
 public:
  explicit View(std::unique_ptr<platform::FingerprintDialog> dialog) : dialog_(std::move(dialog)) {}
  void Post(Event event) override {
    dialog_->Post(static_cast<platform::FingerprintDialog::Event>(static_cast<int>(event)));
  }
  bool WaitClosed(uint32_t ms) override { return dialog_->WaitClosed(ms); }

 private:
  std::unique_ptr<platform::FingerprintDialog> dialog_;
};

class DialogPrompt : public Prompt {
 public:
  void Prepare() override { platform::RegisterKeyDialogMessages(); }

  std::optional<Secret> AskPin(void* parent, const std::u16string& caption) override {
    char pin[kPinBuffer] = {};
    const int length = platform::AskPinDialog(parent, caption, pin, sizeof pin);
    std::optional<Secret> out;
    if (length >= 0) out.emplace(std::string(pin, static_cast<size_t>(length)));
    Wipe(pin, sizeof pin);
    return out;
  }
  bool AskRetry(void* parent, const std::u16string& text) override { return platform::AskRetryBox(parent, text); }
  void ShowLocked(void* parent, const std::u16string& text) override { platform::ShowErrorBox(parent, text); }
  std::unique_ptr<FingerprintView> ShowFingerprint(void* parent) override {
    // The animation lives in the system folder.
    auto dialog =
        platform::FingerprintDialog::Start(parent, platform::PathJoin(platform::SystemDirectory(), kAnimation));
    if (!dialog) return nullptr;
    return std::make_unique<View>(std::move(dialog));
  }

 private:
  static constexpr size_t kPinBuffer = 64;
};

}  // namespace

std::unique_ptr<Prompt> MakeSystemPrompt() { return std::make_unique<DialogPrompt>(); }

}  // namespace csp
