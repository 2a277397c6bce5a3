#include "strokes.h"

#include <algorithm>
#include <cstdio>

namespace capture {

void StrokeRecord::Add(int32_t x, int32_t y, int32_t pressure, uint32_t ms) {
  const bool down = pressure != 0;
  // Hovering between strokes draws nothing and is not kept; only the lift that ends one is.
  if (!down && !down_) return;
  down_ = down;
  points_.push_back({x, y, down ? pressure : 0, ms});
  Trim();
}

void StrokeRecord::Trim() {
  if (points_.size() <= limit_) return;
  // The oldest whole stroke goes, up to and with its lift; a stroke that alone fills the
  // record loses its oldest point only.
  size_t end = 1;
  while (end < points_.size() - 1 && points_[end - 1].pressure != 0) ++end;
  if (points_[end - 1].pressure != 0) end = 1;
  points_.erase(points_.begin(), points_.begin() + static_cast<std::ptrdiff_t>(end));
  dropped_ += end;
}

void StrokeRecord::Clear() {
  points_.clear();
  dropped_ = 0;
  down_ = false;
  ++generation_;
}

StrokeSlice StrokeRecord::From(uint64_t from, size_t max) const {
  StrokeSlice s;
  s.generation = generation_;
  s.dropped = dropped_;
  s.next = dropped_ + points_.size();
  s.from = std::min(std::max(from, dropped_), s.next);
  const size_t first = static_cast<size_t>(s.from - dropped_);
  const size_t count = std::min(max, points_.size() - first);
  s.points.assign(points_.begin() + static_cast<std::ptrdiff_t>(first),
                  points_.begin() + static_cast<std::ptrdiff_t>(first + count));
  return s;
}

std::string FormatSlice(const StrokeSlice& slice, bool confirmed, uint16_t productId) {
  std::string out;
  out.reserve(64 + slice.points.size() * 20);
  char line[128];
  int n =
      std::snprintf(line, sizeof line, "points %u %d %llu %llu %llu %u %zu\n", slice.generation, confirmed ? 1 : 0,
                    static_cast<unsigned long long>(slice.dropped), static_cast<unsigned long long>(slice.from),
                    static_cast<unsigned long long>(slice.next), static_cast<unsigned>(productId), slice.points.size());
  out.append(line, static_cast<size_t>(n));
  for (const StrokePoint& p : slice.points) {
    n = std::snprintf(line, sizeof line, "%d %d %d %u\n", p.x, p.y, p.pressure, p.ms);
    out.append(line, static_cast<size_t>(n));
  }
  out.append(".\n");
  return out;
}

}  // namespace capture
