// The capture program's point replies read strictly, and the JSON and SVG made of them.
#include "signature/sign_data.h"

#include <gtest/gtest.h>

#include <string>

namespace signature {
namespace {

using namespace std::string_literals;

TEST(PointsReply, ReadsOnlyWholeWellFormedReplies) {
  const struct {
    const char* name;
    std::string text;
    bool ok;
  } cases[] = {
      {"empty record", "points 0 0 0 0 0 0 0\n.\n", true},
      {"two points", "points 2 1 5 6 8 33824 2\n1 2 300 10\n-3 4 0 4294967295\n.\n", true},
      {"cut short", "points 2 1 5 6 8 33824 2\n1 2 300 10\n", false},
      {"fewer points than counted", "points 2 1 5 6 8 33824 2\n1 2 300 10\n.\n", false},
      {"more points than counted", "points 0 0 0 0 2 0 1\n1 2 3 4\n1 2 3 4\n.\n", false},
      {"more points than the indices allow", "points 0 0 0 0 1 0 2\n1 2 3 4\n1 2 3 4\n.\n", false},
      {"from before the dropped ones", "points 0 0 5 4 6 0 0\n.\n", false},
      {"another word", "pointz 0 0 0 0 0 0 0\n.\n", false},
      {"a field short", "points 0 0 0 0 0 0\n.\n", false},
      {"a field too many", "points 0 0 0 0 0 0 0 0\n.\n", false},
      {"confirmed is 0 or 1", "points 0 2 0 0 0 0 0\n.\n", false},
      {"product id is 16 bits", "points 0 0 0 0 0 65536 0\n.\n", false},
      {"a point field short", "points 0 0 0 0 1 0 1\n1 2 3\n.\n", false},
      {"a sign on an unsigned field", "points 0 0 0 0 1 0 1\n1 2 3 -4\n.\n", false},
      {"x past 32 bits", "points 0 0 0 0 1 0 1\n2147483648 2 3 4\n.\n", false},
      {"a blank too many", "points 0 0 0 0 1 0 1\n1  2 3 4\n.\n", false},
      {"a quote inside", "points 0 0 0 0 1 0 1\n1 \"2 3 4\n.\n", false},
      {"a zero byte inside", "points 0 0 0 0 1 0 1\n1 2\0 3 4\n.\n"s, false},
  };
  for (const auto& c : cases) {
    PenPoints r;
    EXPECT_EQ(ParsePointsReply(c.text, &r), c.ok) << c.name;
  }
  PenPoints r;
  ASSERT_TRUE(ParsePointsReply(cases[1].text, &r));
  EXPECT_EQ(r.generation, 2u);
  EXPECT_TRUE(r.confirmed);
  EXPECT_EQ(r.dropped, 5u);
  EXPECT_EQ(r.from, 6u);
  EXPECT_EQ(r.next, 8u);
  EXPECT_EQ(r.productId, 0x8420);
  ASSERT_EQ(r.points.size(), 2u);
  EXPECT_EQ(r.points[1].x, -3);
  EXPECT_EQ(r.points[1].p, 0);
  EXPECT_EQ(r.points[1].t, 4294967295u);
}

PenPoints Path(std::vector<PenPoint> points, uint16_t product = 0x8421) {
  PenPoints d;
  d.productId = product;
  d.points = std::move(points);
  return d;
}

TEST(SignData, JsonHoldsThePressingPointsOfEachStroke) {
  const struct {
    const char* name;
    PenPoints data;
    const char* json;
  } cases[] = {
      {"nothing signed", Path({}, 0), R"({"width":600,"height":300,"model":"","strokes":[],"dropped":0})"},
      {"two strokes, lifts left out", Path({{1, 2, 300, 10}, {3, 4, 500, 15}, {3, 4, 0, 20}, {7, 8, 900, 30}}),
       R"({"width":600,"height":300,"model":"0b57:8421","strokes":[[{"x":1,"y":2,"p":300,"t":10},)"
       R"({"x":3,"y":4,"p":500,"t":15}],[{"x":7,"y":8,"p":900,"t":30}]],"dropped":0})"},
  };
  for (const auto& c : cases) EXPECT_EQ(SignDataJson(c.data), c.json) << c.name;
}

// One line per segment between two pressing points, as wide as the canvas draws it (thickness
// pressure / 400 + 1 covers 1, 3, 5 pixels), through the pixels' centres; runs of one width
// share a path.
TEST(SignData, SvgDrawsTheCanvasSegments) {
  const struct {
    const char* name;
    std::vector<PenPoint> points;
    std::string paths;
  } cases[] = {
      {"nothing signed", {}, ""},
      {"a lone point draws nothing", {{5, 5, 300, 0}, {5, 5, 0, 1}}, ""},
      {"one width",
       {{0, 0, 100, 0}, {10, 0, 399, 1}, {10, 10, 1, 2}},
       "<path stroke-width=\"1\" d=\"M0.5 0.5L10.5 0.5L10.5 10.5\"/>\n"},
      {"widths from the second point's pressure",
       {{0, 0, 100, 0}, {10, 0, 400, 1}, {20, 0, 800, 2}, {30, 0, 700, 3}},
       "<path stroke-width=\"3\" d=\"M0.5 0.5L10.5 0.5\"/>\n<path stroke-width=\"5\" d=\"M10.5 0.5L20.5 0.5\"/>\n"
       "<path stroke-width=\"3\" d=\"M20.5 0.5L30.5 0.5\"/>\n"},
      {"a lift breaks the line",
       {{0, 0, 100, 0}, {1, 1, 100, 1}, {1, 1, 0, 2}, {5, 5, 100, 3}, {6, 6, 100, 4}},
       "<path stroke-width=\"1\" d=\"M0.5 0.5L1.5 1.5\"/>\n<path stroke-width=\"1\" d=\"M5.5 5.5L6.5 6.5\"/>\n"},
  };
  for (const auto& c : cases) {
    const std::string svg = SignDataSvg(Path(c.points));
    EXPECT_EQ(svg.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\" "
                        "width=\"600\" height=\"300\" viewBox=\"0 0 600 300\">\n",
                        0),
              0u)
        << c.name;
    const std::string group = "<g fill=\"none\" stroke=\"#000\" stroke-linecap=\"round\" stroke-linejoin=\"round\">\n";
    const size_t start = svg.find(group);
    ASSERT_NE(start, std::string::npos) << c.name;
    EXPECT_EQ(svg.substr(start + group.size()), c.paths + "</g>\n</svg>\n") << c.name;
    EXPECT_NE(svg.find("<desc>Signature, tablet 0b57:8421</desc>"), std::string::npos) << c.name;
  }
}

TEST(SignData, LivePointJson) {
  std::string out;
  AppendPointJson(out, PenPoint{-1, 300, 1023, 4294967295u});
  EXPECT_EQ(out, R"({"x":-1,"y":300,"p":1023,"t":4294967295})");
}

}  // namespace
}  // namespace signature
