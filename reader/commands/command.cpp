#include "command.h"

#include <cstring>

#include "hid_link.h"
#include "serial_link.h"

namespace vnsdt {

int Run(Link link, int port, int openFlag, const CommandSpec& spec, const uint8_t* data, size_t n, Reply* reply,
        int* hidFailure) {
  if (!PortInRange(link, port)) return 0;
  uint8_t frame[kLargeFrameBufferSize];
  const size_t frameSize = BuildFrame(data, n, spec.command, spec.parameter, frame,
                                      spec.frameCapacity < sizeof frame ? spec.frameCapacity : sizeof frame);
  if (frameSize == 0) return -1;
  // A reply shorter than what a command reads must never show an earlier reply's bytes.
  std::memset(reply->bytes, 0, sizeof reply->bytes);
  reply->size = 0;
  const size_t capacity = spec.replyCapacity < sizeof reply->bytes ? spec.replyCapacity : sizeof reply->bytes;

  if (link == Link::Serial) {
    const int r =
        RunSerialExchange(port, frame, frameSize, spec.serialTimeoutSeconds, reply->bytes, capacity, &reply->size);
    return r == 0 ? kReplied : -1;
  }
  HidExchange x{port, openFlag, frame, frameSize, spec.hidTimeoutSeconds, reply->bytes, capacity};
  x.splitLongFrames = spec.splitOverHid;
  bool transferred = false;
  const int r = RunHidExchange(x, &transferred);
  if (hidFailure) *hidFailure = x.failure;
  if (!transferred) return r;
  reply->size = x.replySize;
  return kReplied;
}

}  // namespace vnsdt
