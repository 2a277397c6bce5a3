// The capture program's point replies as the service reads them, on any bytes: a reply is taken
// whole and well formed or not at all, and what is taken renders as JSON and SVG without fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "signature/sign_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  signature::PenPoints points;
  const bool complete = signature::PointsReplyComplete(text);
  if (!signature::ParsePointsReply(text, &points)) return 0;
  if (!complete) std::abort();  // parsed what is not a whole reply
  const std::string json = signature::SignDataJson(points);
  const std::string svg = signature::SignDataSvg(points);
  if (json.empty() || json.front() != '{' || json.back() != '}') std::abort();
  if (svg.find("</svg>") == std::string::npos) std::abort();
  return 0;
}
