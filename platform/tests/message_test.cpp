#include "platform/message.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tw/message_sink.h"

namespace platform::message {
namespace {

TEST(Message, RegisteredIdsAreSharedByNameWithoutRegardToCase) {
  const uint32_t a = RegisterMessage("TwTestMessageA");
  EXPECT_GE(a, 0xC000u);
  EXPECT_LE(a, 0xFFFFu);
  EXPECT_EQ(RegisterMessage("twtestmessagea"), a);
  EXPECT_NE(RegisterMessage("TwTestMessageB"), a);
}

TEST(Message, PostsReachTheWindowInOrder) {
  const uint32_t id = RegisterMessage("TwTestMessageOrder");
  tw::testing::MessageSink sink(id);
  ASSERT_TRUE(sink.ok());
  for (uintptr_t i = 1; i <= 3; ++i) EXPECT_TRUE(Post(sink.Handle(), id, i, static_cast<intptr_t>(0x28000000 + i)));
  for (uintptr_t i = 1; i <= 3; ++i) {
    auto m = sink.Next();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->wParam, i);
    EXPECT_EQ(m->lParam, static_cast<intptr_t>(0x28000000 + i));
  }
}

TEST(Message, BroadcastReachesEveryTopLevelWindow) {
  const uint32_t id = RegisterMessage("TwTestMessageBroadcast");
  tw::testing::MessageSink first(id), second(id);
  EXPECT_TRUE(Post(kBroadcast, id, 7, 0x58000011));
  for (auto* sink : {&first, &second}) {
    auto m = sink->Next();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->wParam, 7u);
    EXPECT_EQ(m->lParam, 0x58000011);
  }
}

TEST(Message, PostToAWindowThatIsGoneFails) {
  const uint32_t id = RegisterMessage("TwTestMessageGone");
  WindowHandle gone;
  {
    tw::testing::MessageSink sink(id);
    gone = sink.Handle();
  }
  EXPECT_FALSE(Post(gone, id, 0, 0));
}

// Send runs the procedure on the window's thread while the caller waits; the loop's code is
// Run's result.
TEST(Message, SendIsHandledOnTheWindowThreadAndQuitEndsTheLoop) {
  const uint32_t id = RegisterMessage("TwTestMessageSend");
  std::atomic<MessageWindow*> window{nullptr};
  std::thread::id handledOn;
  int code = -1;
  std::thread owner([&] {
    auto w = MessageWindow::Create({0, "title", 0, "TwTestSendClass"}, [&](const Message& m) {
      if (m.id == id) {
        handledOn = std::this_thread::get_id();
        window.load()->PostQuit(static_cast<int>(m.wParam));
        return true;
      }
      return false;
    });
    ASSERT_NE(w, nullptr);
    window = w.get();
    code = w->Run();
    window = nullptr;
  });
  while (window == nullptr) std::this_thread::yield();
  const std::thread::id ownerId = owner.get_id();
  EXPECT_TRUE(window.load()->Send(id, 42, 0));
  EXPECT_EQ(handledOn, ownerId);
  owner.join();
  EXPECT_EQ(code, 42);
}

}  // namespace
}  // namespace platform::message
