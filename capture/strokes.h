// The pen's path next to the ink: for every pen packet that presses, and for the first one that
// lifts after it, the point in canvas units, the pressure as the tablet gave it and the
// milliseconds since the record was started. A lift (pressure 0) ends a stroke.
//
// Points carry indices that count from the last clear: a follower asks for the points from the
// index it has reached and learns from the generation (one more at every clear) and the dropped
// count whether its index still means what it did. Bounded: past the limit the oldest stroke
// goes, and the dropped count says how many points went.
//
// Not thread-safe on its own; the canvas holds it under its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace capture {

struct StrokePoint {
  int32_t x;
  int32_t y;
  int32_t pressure;  // 0: the pen lifted here
  uint32_t ms;
};

// A piece of the record as a reply gives it.
struct StrokeSlice {
  uint32_t generation = 0;
  uint64_t dropped = 0;  // points dropped since the clear: the index of the first one kept
  uint64_t from = 0;     // index of points[0]
  uint64_t next = 0;     // index the next point will get
  std::vector<StrokePoint> points;
};

class StrokeRecord {
 public:
  static constexpr size_t kDefaultLimit = 65536;
  explicit StrokeRecord(size_t limit = kDefaultLimit) : limit_(limit < 2 ? 2 : limit) {}

  // One pen packet, already scaled. Kept when it presses, or when it lifts a pressing pen.
  void Add(int32_t x, int32_t y, int32_t pressure, uint32_t ms);
  // Forgets every point; indices start again at 0 in a new generation.
  void Clear();
  // At most `max` points from index `from` on (from the first kept one when `from` lies before
  // it; none when it lies at or past the end).
  StrokeSlice From(uint64_t from, size_t max) const;
  size_t size() const { return points_.size(); }

 private:
  void Trim();

  size_t limit_;
  std::deque<StrokePoint> points_;
  uint64_t dropped_ = 0;
  uint32_t generation_ = 0;
  bool down_ = false;
};

// The reply of the point words: a header line, one line per point, a line with a lone dot.
//   points <generation> <confirmed> <dropped> <from> <next> <product id> <count>\n
//   <x> <y> <pressure> <ms>\n ...
//   .\n
std::string FormatSlice(const StrokeSlice& slice, bool confirmed, uint16_t productId);

}  // namespace capture
