#include "sign_data.h"

#include <cstdio>
#include <limits>

#include "http/json.h"
#include "http/status_page.h"

namespace signature {
namespace {

constexpr char kEnd[] = "\n.\n";

// One unsigned decimal of at most 20 digits, no sign, no blanks; false past `max`.
bool Unsigned(std::string_view text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    v = v * 10 + digit;
  }
  if (v > max) return false;
  *out = v;
  return true;
}

bool Signed(std::string_view text, int32_t* out) {
  const bool negative = !text.empty() && text[0] == '-';
  uint64_t v = 0;
  if (!Unsigned(negative ? text.substr(1) : text, negative ? 2147483648ull : 2147483647ull, &v)) return false;
  *out = static_cast<int32_t>(negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
  return true;
}

// The blank-separated fields of one line; false when there are not exactly `n`.
bool Fields(std::string_view line, std::string_view* fields, size_t n) {
  size_t count = 0;
  while (!line.empty()) {
    const size_t blank = line.find(' ');
    if (count == n) return false;
    fields[count++] = line.substr(0, blank);
    if (blank == std::string_view::npos) break;
    line.remove_prefix(blank + 1);
    if (line.empty()) return false;  // a trailing blank
  }
  return count == n;
}

// Line thickness the canvas gives a segment ending at this pressure, and the width its pixels
// cover: OpenCV draws thickness 1 as a one-pixel line, thicker ones 2t - 1 pixels wide.
int CoveredWidth(int32_t pressure) {
  const int thickness = pressure / 400 + 1;
  return thickness <= 1 ? 1 : 2 * thickness - 1;
}

// Pixel (x, y) of the canvas covers the unit square from (x, y): its centre is half a unit on.
void AppendCentre(std::string& out, const PenPoint& p) {
  char text[48];
  const int n = std::snprintf(text, sizeof text, "%d.5 %d.5", p.x, p.y);
  out.append(text, static_cast<size_t>(n));
}

}  // namespace

bool PointsReplyComplete(std::string_view text) {
  return text.size() >= 3 && text.compare(text.size() - 3, 3, kEnd) == 0;
}

bool ParsePointsReply(std::string_view text, PenPoints* out) {
  if (!PointsReplyComplete(text)) return false;
  text.remove_suffix(2);  // the dot line, keeping the newline before it
  const size_t headEnd = text.find('\n');
  std::string_view head[8];
  if (!Fields(text.substr(0, headEnd), head, 8) || head[0] != "points") return false;
  uint64_t generation, confirmed, productId, count;
  PenPoints r;
  if (!Unsigned(head[1], UINT32_MAX, &generation) || !Unsigned(head[2], 1, &confirmed) ||
      !Unsigned(head[3], UINT64_MAX, &r.dropped) || !Unsigned(head[4], UINT64_MAX, &r.from) ||
      !Unsigned(head[5], UINT64_MAX, &r.next) || !Unsigned(head[6], 0xFFFF, &productId) ||
      !Unsigned(head[7], 1u << 20, &count)) {
    return false;
  }
  if (r.from < r.dropped || r.from > r.next || r.next - r.from < count) return false;
  r.generation = static_cast<uint32_t>(generation);
  r.confirmed = confirmed == 1;
  r.productId = static_cast<uint16_t>(productId);
  r.points.reserve(static_cast<size_t>(count));
  std::string_view rest = text.substr(headEnd + 1);
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    if (end == std::string_view::npos) return false;
    std::string_view f[4];
    PenPoint p;
    uint64_t t = 0;
    if (!Fields(rest.substr(0, end), f, 4) || !Signed(f[0], &p.x) || !Signed(f[1], &p.y) || !Signed(f[2], &p.p) ||
        !Unsigned(f[3], UINT32_MAX, &t)) {
      return false;
    }
    p.t = static_cast<uint32_t>(t);
    r.points.push_back(p);
    rest.remove_prefix(end + 1);
  }
  if (r.points.size() != count) return false;
  *out = std::move(r);
  return true;
}

std::string ModelText(uint16_t productId) {
  if (productId == 0) return std::string();
  char text[16];
  std::snprintf(text, sizeof text, "0b57:%04x", productId);
  return text;
}

void AppendPointJson(std::string& out, const PenPoint& point) {
  out += json::Object().Add("x", point.x).Add("y", point.y).Add("p", point.p).Add("t", point.t).Text();
}

std::string SignDataJson(const PenPoints& data) {
  std::string strokes = "[";
  bool inStroke = false;
  for (const PenPoint& p : data.points) {
    if (p.p == 0) {
      if (inStroke) strokes += ']';
      inStroke = false;
      continue;
    }
    if (!inStroke) {
      if (strokes.size() > 1) strokes += ',';
      strokes += '[';
      inStroke = true;
    } else {
      strokes += ',';
    }
    AppendPointJson(strokes, p);
  }
  if (inStroke) strokes += ']';
  strokes += ']';
  return json::Object()
      .Add("width", 600)
      .Add("height", 300)
      .Add("model", json::Quoted(ModelText(data.productId)))
      .Add("strokes", json::Raw(strokes))
      .Add("dropped", data.dropped)
      .Text();
}

std::string SignDataSvg(const PenPoints& data) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"600\" height=\"300\" viewBox=\"0 0 600 300\">\n";
  const std::string model = ModelText(data.productId);
  out += "<desc>" + status_page::HtmlEscape(model.empty() ? "Signature" : "Signature, tablet " + model) + "</desc>\n";
  out += "<g fill=\"none\" stroke=\"#000\" stroke-linecap=\"round\" stroke-linejoin=\"round\">\n";
  // A line joins two pressing points in a row, as wide as the second one's pressure says; runs
  // of one width make one path.
  int width = 0;  // of the open path; 0: none open
  for (size_t i = 1; i < data.points.size(); ++i) {
    const PenPoint& from = data.points[i - 1];
    const PenPoint& to = data.points[i];
    if (from.p == 0 || to.p == 0) {
      if (width != 0) out += "\"/>\n";
      width = 0;
      continue;
    }
    const int w = CoveredWidth(to.p);
    if (w != width) {
      if (width != 0) out += "\"/>\n";
      out += "<path stroke-width=\"" + std::to_string(w) + "\" d=\"M";
      AppendCentre(out, from);
      width = w;
    }
    out += 'L';
    AppendCentre(out, to);
  }
  if (width != 0) out += "\"/>\n";
  out += "</g>\n</svg>\n";
  return out;
}

}  // namespace signature
