#include "tw/gif.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace tw::gif {
namespace {

constexpr int kMaxCodes = 4096;

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : at_(data), end_(data + size) {}
  bool Has(size_t n) const { return static_cast<size_t>(end_ - at_) >= n; }
  uint8_t Byte() { return Has(1) ? *at_++ : (failed_ = true, 0); }
  uint16_t Word() {
    const uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | Byte() << 8);
  }
  bool Skip(size_t n) {
    if (!Has(n)) return failed_ = true, false;
    at_ += n;
    return true;
  }
  const uint8_t* Take(size_t n) {
    if (!Has(n)) return failed_ = true, nullptr;
    const uint8_t* p = at_;
    at_ += n;
    return p;
  }
  // The data sub-blocks that follow, joined (or skipped when `out` is null).
  bool SubBlocks(std::vector<uint8_t>* out) {
    for (;;) {
      const uint8_t n = Byte();
      if (failed_) return false;
      if (n == 0) return true;
      const uint8_t* p = Take(n);
      if (p == nullptr) return false;
      if (out != nullptr) out->insert(out->end(), p, p + n);
    }
  }
  bool failed() const { return failed_; }

 private:
  const uint8_t* at_;
  const uint8_t* end_;
  bool failed_ = false;
};

std::vector<uint32_t> ColourTable(Reader& r, int entries) {
  std::vector<uint32_t> table;
  const uint8_t* p = r.Take(static_cast<size_t>(entries) * 3);
  if (p == nullptr) return table;
  for (int i = 0; i < entries; ++i, p += 3) {
    table.push_back(0xFF000000u | static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2]);
  }
  return table;
}

// LZW of the image data into `count` colour indices; false when the stream is broken before
// any index came out. Missing indices at the end stay 0.
bool Lzw(const std::vector<uint8_t>& data, int minCodeSize, size_t count, std::vector<uint8_t>& out) {
  if (minCodeSize < 1 || minCodeSize > 11) return false;
  out.assign(count, 0);
  std::vector<uint16_t> prefix(kMaxCodes);
  std::vector<uint8_t> suffix(kMaxCodes), stack(kMaxCodes + 1);
  const int clear = 1 << minCodeSize, stop = clear + 1;
  int width = minCodeSize + 1, next = clear + 2, previous = -1;
  uint8_t first = 0;
  for (int i = 0; i < clear; ++i) suffix[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
  size_t written = 0, bitPos = 0;
  const size_t totalBits = data.size() * 8;
  while (written < count && bitPos + static_cast<size_t>(width) <= totalBits) {
    int code = 0;
    for (int b = 0; b < width; ++b, ++bitPos) code |= ((data[bitPos / 8] >> (bitPos % 8)) & 1) << b;
    if (code == clear) {
      width = minCodeSize + 1;
      next = clear + 2;
      previous = -1;
      continue;
    }
    if (code == stop) break;
    if (previous < 0) {
      if (code >= clear) return written > 0;
      out[written++] = static_cast<uint8_t>(code);
      previous = code;
      first = static_cast<uint8_t>(code);
      continue;
    }
    int current = code;
    size_t depth = 0;
    if (code >= next) {
      // The code being defined by this very step: the previous string plus its first byte.
      if (code > next) return written > 0;
      stack[depth++] = first;
      current = previous;
    }
    while (current >= clear && depth < stack.size()) {
      stack[depth++] = suffix[static_cast<size_t>(current)];
      current = prefix[static_cast<size_t>(current)];
    }
    if (depth >= stack.size()) return written > 0;
    stack[depth++] = static_cast<uint8_t>(current);
    first = static_cast<uint8_t>(current);
    while (depth > 0 && written < count) out[written++] = stack[--depth];
    if (next < kMaxCodes) {
      prefix[static_cast<size_t>(next)] = static_cast<uint16_t>(previous);
      suffix[static_cast<size_t>(next)] = first;
      ++next;
      if (next == (1 << width) && width < 12) ++width;
    }
    previous = code;
  }
  return written > 0;
}

// Where an image lies on the logical screen.
struct Placement {
  int left, top, width, height;
};

// The image's colour indices onto the canvas; transparent ones, and those past the colour table,
// leave it as it was. Interlaced images send rows 0, 8, 16... then 4, 12... then 2, 6... then
// 1, 3...
void Draw(const Placement& p, bool interlaced, const std::vector<uint8_t>& indices,
          const std::vector<uint32_t>& colours, int transparent, const Animation& screen,
          std::vector<uint32_t>* canvas) {
  std::vector<int> rows;
  if (interlaced) {
    for (int pass : {0, 1, 2, 3}) {
      static const int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
      for (int y = start[pass]; y < p.height; y += step[pass]) rows.push_back(y);
    }
  } else {
    for (int y = 0; y < p.height; ++y) rows.push_back(y);
  }
  const size_t w = static_cast<size_t>(p.width), screenWidth = static_cast<size_t>(screen.width);
  for (int i = 0; i < p.height; ++i) {
    const int y = p.top + rows[static_cast<size_t>(i)];
    if (y >= screen.height) continue;
    for (int x = 0; x < p.width && p.left + x < screen.width; ++x) {
      const uint8_t index = indices[static_cast<size_t>(i) * w + static_cast<size_t>(x)];
      if (index == transparent || index >= colours.size()) continue;
      (*canvas)[static_cast<size_t>(y) * screenWidth + static_cast<size_t>(p.left + x)] = colours[index];
    }
  }
}

// Disposal to the background: the image's area becomes transparent.
void Clear(const Placement& p, const Animation& screen, std::vector<uint32_t>* canvas) {
  for (int y = p.top; y < p.top + p.height && y < screen.height; ++y) {
    for (int x = p.left; x < p.left + p.width && x < screen.width; ++x) {
      (*canvas)[static_cast<size_t>(y) * static_cast<size_t>(screen.width) + static_cast<size_t>(x)] = 0;
    }
  }
}

}  // namespace

std::optional<Animation> Decode(const uint8_t* data, size_t size, size_t maxPixels, size_t maxFrames) {
  if (data == nullptr) return std::nullopt;
  Reader r(data, size);
  const uint8_t* signature = r.Take(6);
  if (signature == nullptr || std::string_view(reinterpret_cast<const char*>(signature), 3) != "GIF") {
    return std::nullopt;
  }
  Animation a;
  a.width = r.Word();
  a.height = r.Word();
  const uint8_t screen = r.Byte();
  const uint8_t background = r.Byte();
  r.Skip(1);
  if (r.failed() || a.width == 0 || a.height == 0 ||
      static_cast<size_t>(a.width) * static_cast<size_t>(a.height) > maxPixels) {
    return std::nullopt;
  }
  (void)background;  // browsers show the background as transparent; so do we
  std::vector<uint32_t> global;
  if (screen & 0x80) global = ColourTable(r, 2 << (screen & 7));
  std::vector<uint32_t> canvas(static_cast<size_t>(a.width) * static_cast<size_t>(a.height), 0);
  uint32_t delay = 0;
  int transparent = -1, disposal = 0;
  while (!r.failed() && a.frames.size() < maxFrames) {
    const uint8_t block = r.Byte();
    if (r.failed() || block == 0x3B) break;
    if (block == 0x21) {
      const uint8_t label = r.Byte();
      if (label == 0xF9) {
        std::vector<uint8_t> control;
        if (!r.SubBlocks(&control)) break;
        if (control.size() >= 4) {
          disposal = (control[0] >> 2) & 7;
          delay = static_cast<uint32_t>(control[1] | control[2] << 8) * 10;
          transparent = (control[0] & 1) ? control[3] : -1;
        }
      } else if (!r.SubBlocks(nullptr)) {
        break;
      }
      continue;
    }
    if (block != 0x2C) break;
    const int left = r.Word(), top = r.Word(), w = r.Word(), h = r.Word();
    const uint8_t packed = r.Byte();
    std::vector<uint32_t> local;
    if (packed & 0x80) local = ColourTable(r, 2 << (packed & 7));
    const int minCodeSize = r.Byte();
    std::vector<uint8_t> compressed;
    if (r.failed() || !r.SubBlocks(&compressed)) break;
    const std::vector<uint32_t>& colours = local.empty() ? global : local;
    std::vector<uint8_t> indices;
    if (w == 0 || h == 0 || static_cast<size_t>(w) * static_cast<size_t>(h) > maxPixels ||
        !Lzw(compressed, minCodeSize, static_cast<size_t>(w) * static_cast<size_t>(h), indices)) {
      break;
    }
    const std::vector<uint32_t> before = canvas;
    const Placement image{left, top, w, h};
    Draw(image, packed & 0x40, indices, colours, transparent, a, &canvas);
    a.frames.push_back(Frame{canvas, delay < 20 ? 100 : delay});
    if (disposal == 2) {
      Clear(image, a, &canvas);
    } else if (disposal == 3) {
      canvas = before;
    }
    delay = 0;
    transparent = -1;
    disposal = 0;
  }
  if (a.frames.empty()) return std::nullopt;
  return a;
}

namespace {

class BitWriter {
 public:
  void Put(int code, int width) {
    bits_ |= static_cast<uint32_t>(code) << count_;
    count_ += width;
    while (count_ >= 8) {
      bytes.push_back(static_cast<uint8_t>(bits_ & 0xFF));
      bits_ >>= 8;
      count_ -= 8;
    }
  }
  void Flush() {
    if (count_ > 0) bytes.push_back(static_cast<uint8_t>(bits_ & 0xFF));
    bits_ = 0;
    count_ = 0;
  }
  std::vector<uint8_t> bytes;

 private:
  uint32_t bits_ = 0;
  int count_ = 0;
};

std::vector<uint8_t> LzwEncode(const std::vector<uint8_t>& indices, int minCodeSize) {
  const int clear = 1 << minCodeSize, stop = clear + 1;
  BitWriter out;
  std::unordered_map<uint32_t, int> table;
  int width = minCodeSize + 1, next = clear + 2;
  out.Put(clear, width);
  int current = -1;
  for (uint8_t index : indices) {
    if (current < 0) {
      current = index;
      continue;
    }
    const uint32_t key = static_cast<uint32_t>(current) << 8 | index;
    const auto found = table.find(key);
    if (found != table.end()) {
      current = found->second;
      continue;
    }
    out.Put(current, width);
    if (next < kMaxCodes) {
      table.emplace(key, next);
      // The decoder widens its codes once it has defined the code that needs the new width.
      if (next == (1 << width) && width < 12) ++width;
      ++next;
    } else {
      out.Put(clear, width);
      table.clear();
      width = minCodeSize + 1;
      next = clear + 2;
    }
    current = index;
  }
  if (current >= 0) out.Put(current, width);
  out.Put(stop, width);
  out.Flush();
  return out.bytes;
}

void PutWord(std::vector<uint8_t>& out, int v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

}  // namespace

std::vector<uint8_t> Encode(int width, int height, const std::vector<uint32_t>& palette,
                            const std::vector<IndexedFrame>& frames) {
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (width <= 0 || height <= 0 || width > 0xFFFF || height > 0xFFFF || palette.empty() || palette.size() > 256 ||
      frames.empty()) {
    return {};
  }
  int bits = 1;
  while ((1u << bits) < palette.size()) ++bits;
  std::vector<uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
  PutWord(out, width);
  PutWord(out, height);
  out.push_back(static_cast<uint8_t>(0x80 | (bits - 1) << 4 | (bits - 1)));
  out.push_back(0);
  out.push_back(0);
  for (size_t i = 0; i < (1u << bits); ++i) {
    const uint32_t c = i < palette.size() ? palette[i] : 0;
    out.insert(out.end(), {static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)});
  }
  // NETSCAPE2.0: repeat for ever.
  const uint8_t loop[] = {0x21, 0xFF, 0x0B, 'N', 'E',  'T',  'S',  'C',  'A', 'P',
                          'E',  '2',  '.',  '0', 0x03, 0x01, 0x00, 0x00, 0x00};
  out.insert(out.end(), std::begin(loop), std::end(loop));
  const int minCodeSize = std::max(2, bits);
  for (const IndexedFrame& f : frames) {
    if (f.indices.size() != pixels) return {};
    const int delay = static_cast<int>(std::min<uint32_t>(f.delayMs / 10, 0xFFFF));
    out.insert(out.end(), {0x21, 0xF9, 0x04, 0x00});
    PutWord(out, delay);
    out.insert(out.end(), {0x00, 0x00, 0x2C});
    PutWord(out, 0);
    PutWord(out, 0);
    PutWord(out, width);
    PutWord(out, height);
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(minCodeSize));
    const std::vector<uint8_t> data = LzwEncode(f.indices, minCodeSize);
    for (size_t at = 0; at < data.size(); at += 255) {
      const size_t n = std::min<size_t>(255, data.size() - at);
      out.push_back(static_cast<uint8_t>(n));
      out.insert(out.end(), data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + n));
    }
    out.push_back(0);
  }
  out.push_back(0x3B);
  return out;
}

}  // namespace tw::gif
