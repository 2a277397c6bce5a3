#include "command.h"

#include <cstring>

#include "hid_link.h"
#include "serial_link.h"

namespace vnsdt {

Status Run(Link link, int port, int openFlag, const CommandDef& cmd, const uint8_t* data, size_t n, Reply* reply) {
  if (!PortInRange(link, port)) return Status::kPortOutOfRange;
  uint8_t frame[kLargeFrameBufferSize];
  const size_t frameSize = BuildFrame(data, n, cmd.command, cmd.parameter, frame,
                                      cmd.frameCapacity < sizeof frame ? cmd.frameCapacity : sizeof frame);
  if (frameSize == 0) return Status::kInvalidArgument;
  // A reply shorter than what a command reads must never show an earlier reply's bytes.
  std::memset(reply->bytes, 0, sizeof reply->bytes);
  reply->size = 0;
  const size_t capacity = cmd.replyCapacity < sizeof reply->bytes ? cmd.replyCapacity : sizeof reply->bytes;

  if (link == Link::Serial) {
    return RunSerialExchange(port, frame, frameSize, cmd.serialTimeoutSeconds, reply->bytes, capacity, &reply->size);
  }
  HidExchange x{port, openFlag, frame, frameSize, cmd.hidTimeoutSeconds, reply->bytes, capacity};
  x.splitLongFrames = cmd.splitOverHid;
  const Status s = RunHidExchange(x);
  if (s == Status::kOk) reply->size = x.replySize;
  return s;
}

}  // namespace vnsdt
