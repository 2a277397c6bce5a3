// Turns the tablet's 8-byte input reports into what the reader thread does with them: a pen or
// key packet with its window-message parameters, an acknowledgement, a serial-number reply,
// a key report to acknowledge. One decoder per open tablet, used by its reader thread only.
#pragma once

#include <cstdint>

#include "models.h"
#include "pmtablet.h"

namespace tablet {

constexpr int kConfirmKey = 17;
constexpr int kClearKey = 18;

struct Decoded {
  bool hasPacket = false;
  PenPacket packet{};
  uint32_t wParam = 0;
  uint32_t lParam = 0;
  bool acknowledgement = false;      // signal the acknowledgement event
  bool serialReply = false;          // keep the report as the last response, then acknowledge
  int keyToAcknowledge = 0;          // send the model's key acknowledgement for this key
  bool acknowledgeKeyFirst = false;  // ... before the packet is queued (device types 2 and 3)
};

class Decoder {
 public:
  explicit Decoder(const Model& model) : model_(model) {}
  Decoded Decode(const uint8_t report[kInputReportLength]);
  // Device type 2: the pen was seen beyond the far edge while hovering.
  bool edge() const { return edge_; }

 private:
  Decoded Type1(const uint8_t* r);
  Decoded Type2(const uint8_t* r);
  Decoded Type3(const uint8_t* r);
  Decoded KeysOfTypes2And3(const uint8_t* r);

  const Model& model_;
  bool edge_ = false;
};

}  // namespace tablet
