// Window messages: registered message ids, posting to a window or to every top-level window, and
// a hidden top-level window with its procedure and message loop.
// Windows: RegisterWindowMessageW, PostMessageW, a window class with the program's resources,
// GetMessageW/TranslateAcceleratorW/DispatchMessageW. Linux: the same contract over an
// in-process queue; "every top-level window" is every message window of the process, and a
// shared library loaded into the program reaches the program's windows (see message.cpp).
// Message numbers are the Windows ones everywhere.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform::message {

using WindowHandle = void*;
// Posting to this handle reaches every top-level window (HWND_BROADCAST).
inline const WindowHandle kBroadcast = reinterpret_cast<WindowHandle>(static_cast<uintptr_t>(0xFFFF));

// Standard messages a window procedure sees.
constexpr uint32_t kDestroy = 0x0002;
constexpr uint32_t kPaint = 0x000F;
constexpr uint32_t kCommand = 0x0111;

struct Message {
  uint32_t id = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

// An id in 0xC000..0xFFFF, the same for every caller that registers the same name (letter case
// aside) in the session (Linux: the process). Does not block; thread-safe. 0 on failure.
uint32_t RegisterMessage(const std::string& name);

// Queues the message for the window's thread, or for every top-level window. Never blocks;
// thread-safe. false: no such window, or the system refused.
bool Post(WindowHandle window, uint32_t id, uintptr_t wParam, intptr_t lParam);

// What a window is made of. Windows takes the texts from the program's string resources when
// their ids are not 0 (the literal texts are the fall-back), and the icon, menu and
// accelerator table from the resources of those ids (0: none). Linux uses the texts only.
struct WindowOptions {
  int titleId = 0;
  std::string title;
  int classNameId = 0;
  std::string className;
  int iconId = 0;
  int menuId = 0;
  int acceleratorsId = 0;
};

// A hidden top-level window, owned by the thread that created it.
class MessageWindow {
 public:
  // The window procedure: true when it handled the message, false for the default handling.
  using Procedure = std::function<bool(const Message& message)>;
  enum class Failure { None, ClassRegistration, WindowCreation };

  // Creates the window on the calling thread, hidden. Null on failure, with the failed step.
  static std::unique_ptr<MessageWindow> Create(const WindowOptions& options, Procedure procedure,
                                               Failure* failure = nullptr);
  virtual ~MessageWindow() = default;

  virtual WindowHandle Handle() const = 0;
  // The message loop, on the creating thread: delivers queued and posted messages to the
  // procedure in order (after the accelerator table, when there is one) until PostQuit, and
  // returns its code. Sleeps while nothing is queued.
  virtual int Run() = 0;
  // From the procedure: the loop ends once it returns.
  virtual void PostQuit(int code) = 0;
  // From any thread: the procedure handles the message on the window's thread while the caller
  // waits (SendMessageW). false when the loop has ended and nobody handled it.
  virtual bool Send(uint32_t id, uintptr_t wParam, intptr_t lParam) = 0;
  // Destroys the window from its own thread; the procedure sees kDestroy.
  virtual void Destroy() = 0;
  // Whether a drawing context of the window can be had right now (GetDC; always on Linux).
  virtual bool HasDrawingContext() = 0;
};

}  // namespace platform::message
