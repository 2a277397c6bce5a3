// Drawing rules of the canvas: scaling, strokes only between pressing packets, thickness by
// pressure, clipping, and the PNG it encodes to.
#include "canvas.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "png_check.h"

namespace capture {
namespace {

TabletCaps Caps(uint16_t product, int32_t x, int32_t y) { return TabletCaps{0x0B57, product, x, y, 1024, 0}; }

PenPacket Pen(int32_t x, int32_t y, int32_t pressure) {
  PenPacket p{};
  p.x = x;
  p.y = y;
  p.pressure = pressure;
  return p;
}

int Ink(const cv::Mat& m) {
  int n = 0;
  for (int y = 0; y < m.rows; ++y) {
    for (int x = 0; x < m.cols; ++x) n += m.at<cv::Vec4b>(y, x)[3] != 0;
  }
  return n;
}

bool Inked(const cv::Mat& m, int x, int y) { return m.at<cv::Vec4b>(y, x) == cv::Vec4b(0, 0, 0, 255); }

TEST(Canvas, StartsEmptyAndTransparent) {
  Canvas c;
  const cv::Mat m = c.Snapshot();
  EXPECT_EQ(m.cols, 600);
  EXPECT_EQ(m.rows, 300);
  EXPECT_EQ(m.type(), CV_8UC4);
  EXPECT_EQ(cv::countNonZero(m.reshape(1)), 0);
}

// Two pressing packets at the tablet's corners: one line from (0, 0) to (600, 300), clipped.
TEST(Canvas, CornerToCornerLineIsClipped) {
  Canvas c;
  c.SetCaps(Caps(0x8420, 6144, 3072));
  c.Draw(Pen(0, 0, 100));
  c.Draw(Pen(6144, 3072, 100));
  const cv::Mat m = c.Snapshot();
  EXPECT_TRUE(Inked(m, 0, 0));
  EXPECT_TRUE(Inked(m, 300, 150));
  EXPECT_TRUE(Inked(m, 598, 299));
  // One pixel per column, 8-connected and one pixel thick, up to where the canvas ends.
  EXPECT_GE(Ink(m), 599);
  EXPECT_LE(Ink(m), 600);
}

// A packet without pressure between two pressing ones breaks the stroke: no line to or from it.
TEST(Canvas, ALiftedPacketBreaksTheStroke) {
  Canvas c;
  c.SetCaps(Caps(0x8420, 6144, 3072));
  c.Draw(Pen(0, 1536, 300));          // (0, 150)
  c.Draw(Pen(3072, 1536, 0));         // (300, 150), lifted
  c.Draw(Pen(6144 - 10, 1536, 300));  // (599, 150)
  EXPECT_EQ(Ink(c.Snapshot()), 0);
  c.Draw(Pen(6144 - 10, 3072 - 10, 300));  // (599, 299): joined to the point before
  const cv::Mat m = c.Snapshot();
  EXPECT_TRUE(Inked(m, 599, 200));
  EXPECT_FALSE(Inked(m, 150, 150));
}

struct Thickness {
  int32_t pressure;
  int rows;  // rows a horizontal line covers
};

class Pressure : public ::testing::TestWithParam<Thickness> {};

TEST_P(Pressure, SetsTheLineThickness) {
  Canvas c;
  c.SetCaps(Caps(0x8420, 6144, 3072));
  c.Draw(Pen(1024, 1536, GetParam().pressure));
  c.Draw(Pen(5120, 1536, GetParam().pressure));
  const cv::Mat m = c.Snapshot();
  int rows = 0;
  for (int y = 0; y < 300; ++y) rows += Inked(m, 300, y);
  EXPECT_EQ(rows, GetParam().rows) << "pressure " << GetParam().pressure;
}

// pressure / 400 + 1: thickness 1 below 400, 2 from 400, 3 from 800 (OpenCV covers 1, 3 and 5
// rows with those).
INSTANTIATE_TEST_SUITE_P(Levels, Pressure,
                         ::testing::Values(Thickness{1, 1}, Thickness{399, 1}, Thickness{400, 3}, Thickness{799, 3},
                                           Thickness{800, 5}, Thickness{1023, 5}),
                         [](const ::testing::TestParamInfo<Thickness>& info) {
                           return "pressure" + std::to_string(info.param.pressure);
                         });

// The 0x8816 decoder's y stops at 3072: strokes are scaled by that, not by the record's 4175,
// so that a signature reaches the bottom of the canvas.
TEST(Canvas, Type3StrokesFillTheCanvas) {
  Canvas c;
  c.SetCaps(Caps(0x8816, 8352, 4175));
  c.Draw(Pen(0, 3071, 100));
  c.Draw(Pen(8352, 3071, 100));
  EXPECT_TRUE(Inked(c.Snapshot(), 300, 299));
  EXPECT_EQ(PacketYRange(Caps(0x8816, 8352, 4175)), 3072u);
  EXPECT_EQ(PacketYRange(Caps(0x8421, 8320, 4992)), 4992u);
}

TEST(Canvas, ClearEmptiesAndBrokenCapsDrawNothingHarmful) {
  Canvas c;
  c.SetCaps(Caps(0x8420, 0, 0));
  c.Draw(Pen(5, 5, 100));
  c.Draw(Pen(6, 6, 100));
  c.Clear();
  EXPECT_EQ(Ink(c.Snapshot()), 0);
}

TEST(Canvas, PngOfTheEmptyCanvasIsFullyTransparent) {
  Canvas c;
  const cv::Mat decoded = test::DecodePngBase64(c.PngBase64());
  ASSERT_EQ(decoded.cols, 600);
  ASSERT_EQ(decoded.rows, 300);
  ASSERT_EQ(decoded.channels(), 4);
  EXPECT_EQ(Ink(decoded), 0);
}

TEST(Canvas, PngKeepsTheStrokes) {
  Canvas c;
  c.SetCaps(Caps(0x8421, 8320, 4992));
  c.Draw(Pen(0, 2496, 900));
  c.Draw(Pen(8320, 2496, 900));
  const cv::Mat decoded = test::DecodePngBase64(c.PngBase64());
  ASSERT_FALSE(decoded.empty());
  EXPECT_TRUE(Inked(decoded, 300, 150));
  EXPECT_EQ(Ink(decoded), Ink(c.Snapshot()));
}

}  // namespace
}  // namespace capture
