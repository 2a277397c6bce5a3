#include "canvas.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "tw/base64.h"

namespace capture {

uint32_t PacketYRange(const TabletCaps& caps) {
  return caps.productId == 0x8816 ? 3072u : static_cast<uint32_t>(caps.yExtent);
}

Canvas::Canvas() : image_(cv::Mat::zeros(kCanvasHeight, kCanvasWidth, CV_8UC4)) {}

void Canvas::SetCaps(const TabletCaps& caps) {
  std::lock_guard<std::mutex> lock(mutex_);
  productId_ = caps.productId;
  // A record without extents would divide by zero; such a tablet draws nothing useful anyway.
  xExtent_ = caps.xExtent > 0 ? static_cast<uint32_t>(caps.xExtent) : 1;
  const uint32_t y = PacketYRange(caps);
  yRange_ = y > 0 ? y : 1;
}

void Canvas::Draw(const PenPacket& packet, uint32_t ms) {
  const bool down = packet.pressure != 0;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto x = static_cast<int32_t>(static_cast<uint32_t>(packet.x) * kCanvasWidth / xExtent_);
  const auto y = static_cast<int32_t>(static_cast<uint32_t>(packet.y) * kCanvasHeight / yRange_);
  if (previousDown_ && down) {
    cv::line(image_, cv::Point(previousX_, previousY_), cv::Point(x, y), cv::Scalar(0, 0, 0, 255),
             packet.pressure / 400 + 1, cv::LINE_8, 0);
  }
  record_.Add(x, y, packet.pressure, ms);
  previousX_ = x;
  previousY_ = y;
  previousDown_ = down;
}

void Canvas::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  image_ = cv::Mat::zeros(kCanvasHeight, kCanvasWidth, CV_8UC4);
  record_.Clear();
}

void Canvas::ClearRecord() {
  std::lock_guard<std::mutex> lock(mutex_);
  record_.Clear();
}

StrokeSlice Canvas::Points(uint64_t from, size_t max) {
  std::lock_guard<std::mutex> lock(mutex_);
  return record_.From(from, max);
}

uint16_t Canvas::ProductId() {
  std::lock_guard<std::mutex> lock(mutex_);
  return productId_;
}

std::string Canvas::PngBase64() {
  std::vector<uchar> png;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    png.reserve(static_cast<size_t>(image_.rows) * static_cast<size_t>(image_.cols));
    try {
      if (!cv::imencode(".png", image_, png)) return std::string();
    } catch (const cv::Exception&) {
      return std::string();
    }
  }
  return tw::Base64(png.data(), png.size());
}

cv::Mat Canvas::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  return image_.clone();
}

}  // namespace capture
