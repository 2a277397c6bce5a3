// Message boxes for failures a person must see. Windows: MessageBoxExW with no owner, no
// caption and an OK button. Linux: the text on standard error.
// With TARNWICK_MESSAGEBOX=stderr the Windows build also writes to standard error instead of
// opening a box, so unattended runs and tests are never stopped by a dialog.
#pragma once

#include <string_view>

namespace platform {

// Blocks until the person closes the box (Windows, unless redirected); any thread.
void ShowMessageBox(std::string_view utf8Text);

enum class MessageBoxIcon { None, Error };
// The same with a caption and an icon (standard error: "caption: text").
void ShowMessageBox(std::string_view utf8Text, std::string_view utf8Caption,
                    MessageBoxIcon icon = MessageBoxIcon::None);

}  // namespace platform
