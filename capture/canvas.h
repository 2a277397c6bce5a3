// The signature canvas: 600 x 300 pixels, blue-green-red-alpha, transparent when empty, pen
// strokes in opaque black. Pen packets become lines: points are scaled from the tablet's units
// to the canvas, a line is drawn only between two packets that both press, 8-connected, as thick
// as the pressure says. Beside the ink it keeps the pen's path (strokes.h), cleared with it.
// Every member is safe to call from the window thread and the command thread at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <opencv2/core.hpp>
#include <string>

#include "pmtablet.h"
#include "strokes.h"

namespace capture {

constexpr int kCanvasWidth = 600;
constexpr int kCanvasHeight = 300;

class Canvas {
 public:
  Canvas();
  // The record PMInit filled in; strokes are scaled by it.
  void SetCaps(const TabletCaps& caps);
  // One pen packet (key 0), `ms` milliseconds after the record was started.
  void Draw(const PenPacket& packet, uint32_t ms = 0);
  // Replaces the canvas by an empty one and forgets the pen's path; the stroke goes on from the
  // last point.
  void Clear();
  // Forgets the pen's path and leaves the ink (a new "Init").
  void ClearRecord();
  // At most `max` points of the pen's path from index `from` on.
  StrokeSlice Points(uint64_t from, size_t max);
  // The product id of the record PMInit filled in; 0 before.
  uint16_t ProductId();
  // The canvas as a PNG, in Base64. Empty when encoding fails.
  std::string PngBase64();
  // A copy, for tests.
  cv::Mat Snapshot();

 private:
  std::mutex mutex_;
  cv::Mat image_;
  StrokeRecord record_;
  uint16_t productId_ = 0;
  uint32_t xExtent_ = 1;
  uint32_t yRange_ = 1;
  int32_t previousX_ = 0;
  int32_t previousY_ = 0;
  bool previousDown_ = false;
};

// The y range a model's decoder gives its packets: the caps' Y extent, except for product
// 0x8816, whose decoder stops at 3072 while its record says 4175.
uint32_t PacketYRange(const TabletCaps& caps);

}  // namespace capture
