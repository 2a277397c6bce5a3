// The signature as data: the capture program's reply to its point words read into plain values,
// and the two forms a page gets of it, JSON (the points of each stroke) and SVG (the strokes as
// vectors, as wide as the PNG's lines). Pure functions; nothing here is logged or stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace signature {

// A point of the pen's path: canvas units (600 x 300), pressure as the tablet gave it (0: the
// pen lifted here, ending its stroke), milliseconds since the capture program's "Init".
struct PenPoint {
  int32_t x = 0;
  int32_t y = 0;
  int32_t p = 0;
  uint32_t t = 0;
};

// A piece of the capture program's record. Indices count from its last clear; `generation`
// changes with every clear, `dropped` says how many of the oldest points the bound took.
struct PenPoints {
  uint32_t generation = 0;
  bool confirmed = false;  // the confirm key was pressed and GetConfirm has not taken it yet
  uint64_t dropped = 0;
  uint64_t from = 0;  // index of points[0]
  uint64_t next = 0;  // index of the next point to come
  uint16_t productId = 0;
  std::vector<PenPoint> points;
};

// Whether `text` holds a whole reply: it ends with the line holding a lone dot.
bool PointsReplyComplete(std::string_view text);
// Reads one whole reply; false unless it is exactly one well-formed reply.
bool ParsePointsReply(std::string_view text, PenPoints* out);

// The tablet model as text ("0b57:8420"); empty while the tablet was not opened.
std::string ModelText(uint16_t productId);

// {"width":600,"height":300,"model":"...","strokes":[[{"x":..,"y":..,"p":..,"t":..},...],...],
//  "dropped":N}: the pressing points of each stroke.
std::string SignDataJson(const PenPoints& data);
// An SVG document on a 0 0 600 300 view box: each segment the canvas draws, as wide as its line
// there (pressure / 400 + 1 thick), with round ends.
std::string SignDataSvg(const PenPoints& data);

// What the points JSON of a page's live events carries: {"x":..,"y":..,"p":..,"t":..}.
void AppendPointJson(std::string& out, const PenPoint& point);

}  // namespace signature
