#include "platform/key_dialogs.h"

namespace platform {

void RegisterKeyDialogMessages() {}
bool KeyDialogsAvailable() { return false; }
int AskPinDialog(void*, const std::u16string&, char*, size_t) { return -1; }
bool AskRetryBox(void*, const std::u16string&) { return false; }
void ShowErrorBox(void*, const std::u16string&) {}
std::unique_ptr<FingerprintDialog> FingerprintDialog::Start(void*, const std::string&) { return nullptr; }

}  // namespace platform
