// The terminal as a HID device: 64-byte reports out, a fixed pause, then polls for the reply.
#pragma once

#include <cstdint>

#include "platform/hid.h"
#include "status.h"

namespace jrs {

constexpr uint16_t kHidVendor = 0x735F;
constexpr uint16_t kHidProduct = 0x542B;
constexpr uint16_t kHidVersion = 0x0111;
// The interface indices the search visits, whether or not earlier ones exist.
constexpr int kHidInterfaces = 16;

// The waits of a HID transfer, in milliseconds: after the request, and between empty polls.
constexpr uint32_t kReplyPauseMs = 200;
constexpr uint32_t kPollPauseMs = 1000;
// What a report may wait to go out; a longer wait fails the send.
constexpr uint32_t kWriteTimeoutMs = 1000;

// The first HID interface among indices 0..15 with the terminal's identity, open; null when
// none has it. Every other interface opened on the way is closed.
platform::hid::Device* FindHidTerminal();

// Sends the request in 64-byte reports (the last one padded with zeros), waits, then polls up
// to timeoutPolls + 1 times for a reply whose first 10 bytes are not all zero and reads
// `replyLength` bytes of it. Nothing is written to `reply` past `replyLength`. When no reply
// begins, `reply` holds the start of the last report and the result is still kOk.
Status HidTransfer(platform::hid::Device* device, const uint8_t* request, uint16_t requestLength, uint8_t* reply,
                   uint32_t replyLength, uint8_t timeoutPolls);

// The library's pauses go through here; tests count them instead of waiting.
using SleepFunction = void (*)(uint32_t ms);
void SetSleepForTesting(SleepFunction sleep);

}  // namespace jrs
