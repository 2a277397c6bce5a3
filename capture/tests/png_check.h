// Reading back what the capture program sends: Base64 text of a PNG.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

namespace capture::test {

// Bytes of standard Base64 (RFC 4648, "=" padding); empty when the text is not Base64.
inline std::vector<uint8_t> DecodeBase64(const std::string& text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> out;
  if (text.size() % 4 != 0) return {};
  uint32_t bits = 0;
  int count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '=') {
      if (i + 2 < text.size()) return {};
      break;
    }
    const size_t v = kAlphabet.find(text[i]);
    if (v == std::string::npos) return {};
    bits = bits << 6 | static_cast<uint32_t>(v);
    if (++count == 4) {
      out.push_back(static_cast<uint8_t>(bits >> 16));
      out.push_back(static_cast<uint8_t>(bits >> 8));
      out.push_back(static_cast<uint8_t>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) out.push_back(static_cast<uint8_t>(bits >> 4));
  if (count == 3) {
    out.push_back(static_cast<uint8_t>(bits >> 10));
    out.push_back(static_cast<uint8_t>(bits >> 2));
  }
  return out;
}

// The picture with its four channels; empty when the text is no PNG.
inline cv::Mat DecodePngBase64(const std::string& text) {
  const std::vector<uint8_t> png = DecodeBase64(text);
  static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (png.size() < 8 || !std::equal(kSignature, kSignature + 8, png.begin())) return cv::Mat();
  return cv::imdecode(png, cv::IMREAD_UNCHANGED);
}

// Whether the text is a whole PNG: it decodes and ends with the IEND chunk.
inline bool CompletePng(const std::string& text) {
  const std::vector<uint8_t> png = DecodeBase64(text);
  static const uint8_t kEnd[8] = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  return png.size() >= 8 && std::equal(kEnd, kEnd + 8, png.end() - 8);
}

}  // namespace capture::test
