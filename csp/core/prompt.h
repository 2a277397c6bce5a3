// What user verification shows the person: the PIN dialog, the wrong-PIN and locked boxes, and
// the fingerprint dialog. The Windows module implements it with its dialogs; without them
// every question counts as cancelled.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "secret.h"

namespace csp {

// The fingerprint dialog, running in a thread of its own and told of each outcome.
class FingerprintView {
 public:
  enum class Event { Success, Mismatch, Waiting, Error };
  // Closes the dialog (if the person has not) and waits for its thread.
  virtual ~FingerprintView() = default;
  virtual void Post(Event event) = 0;
  // Waits at most `ms`; true once the person has closed the dialog.
  virtual bool WaitClosed(uint32_t ms) = 0;
};

class Prompt {
 public:
  virtual ~Prompt() = default;
  // Once the readers are ready at the first context (the dialogs' window messages).
  virtual void Prepare() {}
  // `parent` is the caller's window (or null). nullopt when the person cancels.
  virtual std::optional<Secret> AskPin(void* parent, const std::u16string& caption) = 0;
  // The wrong-PIN warning with OK and Cancel: true for OK.
  virtual bool AskRetry(void* parent, const std::u16string& text) = 0;
  virtual void ShowLocked(void* parent, const std::u16string& text) = 0;
  // Null when no dialog can be shown.
  virtual std::unique_ptr<FingerprintView> ShowFingerprint(void* parent) = 0;
};

// The prompt of a module without dialogs.
class NoPrompt : public Prompt {
 public:
  std::optional<Secret> AskPin(void*, const std::u16string&) override { return std::nullopt; }
  bool AskRetry(void*, const std::u16string&) override { return false; }
  void ShowLocked(void*, const std::u16string&) override {}
  std::unique_ptr<FingerprintView> ShowFingerprint(void*) override { return nullptr; }
};

// The prompt the module uses: its dialogs where the platform has them, else NoPrompt.
std::unique_ptr<Prompt> MakeSystemPrompt();

}  // namespace csp
