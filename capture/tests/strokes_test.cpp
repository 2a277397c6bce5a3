// The pen's path beside the ink: what is kept, the bound, the indices a follower uses, the reply
// text, and the canvas keeping it in step with the ink.
#include "strokes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "canvas.h"

namespace capture {
namespace {

struct In {
  int32_t x, pressure;
};

std::vector<int32_t> Xs(const StrokeSlice& s) {
  std::vector<int32_t> xs;
  for (const StrokePoint& p : s.points) xs.push_back(p.x);
  return xs;
}

TEST(StrokeRecord, KeepsPressingPointsAndTheLiftOnly) {
  const struct {
    const char* name;
    std::vector<In> packets;
    std::vector<int32_t> kept;  // x of the points kept
  } cases[] = {
      {"hover alone", {{1, 0}, {2, 0}}, {}},
      {"a stroke and its lift", {{1, 0}, {2, 300}, {3, 500}, {4, 0}, {5, 0}}, {2, 3, 4}},
      {"two strokes", {{1, 300}, {2, 0}, {3, 0}, {4, 900}, {5, 0}}, {1, 2, 4, 5}},
  };
  for (const auto& c : cases) {
    StrokeRecord r;
    for (const In& p : c.packets) r.Add(p.x, 7, p.pressure, 0);
    EXPECT_EQ(Xs(r.From(0, 100)), c.kept) << c.name;
  }
}

// Past the bound the oldest stroke goes with its lift; a stroke that fills the record alone loses
// its oldest points one by one. The indices of the points kept do not change.
TEST(StrokeRecord, TheBoundDropsTheOldestStroke) {
  const struct {
    const char* name;
    std::vector<In> packets;
    std::vector<int32_t> kept;
    uint64_t dropped;
  } cases[] = {
      {"within the bound", {{1, 9}, {2, 9}, {3, 0}, {4, 9}}, {1, 2, 3, 4}, 0},
      {"the first stroke goes", {{1, 9}, {2, 9}, {3, 0}, {4, 9}, {5, 9}}, {4, 5}, 3},
      {"one long stroke", {{1, 9}, {2, 9}, {3, 9}, {4, 9}, {5, 9}, {6, 9}}, {3, 4, 5, 6}, 2},
      {"a long stroke goes whole once its lift is in",
       {{1, 9}, {2, 9}, {3, 9}, {4, 9}, {5, 9}, {6, 0}, {7, 9}, {8, 9}},
       {7, 8},
       6},
  };
  for (const auto& c : cases) {
    StrokeRecord r(4);
    for (const In& p : c.packets) r.Add(p.x, 0, p.pressure, 0);
    const StrokeSlice s = r.From(0, 100);
    EXPECT_EQ(Xs(s), c.kept) << c.name;
    EXPECT_EQ(s.dropped, c.dropped) << c.name;
    EXPECT_EQ(s.from, c.dropped) << c.name;
    EXPECT_EQ(s.next, c.dropped + c.kept.size()) << c.name;
  }
}

TEST(StrokeRecord, SlicesFromAnIndex) {
  StrokeRecord r(4);
  for (int32_t x = 1; x <= 6; ++x) r.Add(x, 0, 100, 0);  // points 0..5; 0 and 1 dropped
  const struct {
    uint64_t from;
    size_t max;
    uint64_t sliceFrom;
    std::vector<int32_t> xs;
  } cases[] = {
      {0, 100, 2, {3, 4, 5, 6}},  // before the first kept: from there
      {3, 100, 3, {4, 5, 6}},     //
      {3, 2, 3, {4, 5}},          // bounded
      {6, 100, 6, {}},            // at the end
      {UINT64_MAX, 100, 6, {}},   // past it
  };
  for (const auto& c : cases) {
    const StrokeSlice s = r.From(c.from, c.max);
    EXPECT_EQ(s.from, c.sliceFrom) << c.from;
    EXPECT_EQ(Xs(s), c.xs) << c.from;
    EXPECT_EQ(s.next, 6u);
  }
}

TEST(StrokeRecord, ClearStartsANewGeneration) {
  StrokeRecord r(4);
  for (int32_t x = 1; x <= 6; ++x) r.Add(x, 0, 100, 0);
  const uint32_t before = r.From(0, 1).generation;
  r.Clear();
  r.Add(9, 0, 0, 0);  // a lift with nothing pressed before it is hover
  r.Add(8, 0, 50, 0);
  const StrokeSlice s = r.From(0, 100);
  EXPECT_EQ(s.generation, before + 1);
  EXPECT_EQ(s.dropped, 0u);
  EXPECT_EQ(s.next, 1u);
  EXPECT_EQ(Xs(s), std::vector<int32_t>{8});
}

TEST(StrokeRecord, ReplyText) {
  StrokeSlice s;
  s.generation = 3;
  s.dropped = 2;
  s.from = 5;
  s.next = 7;
  s.points = {{10, 20, 512, 1000}, {-1, 299, 0, 4294967295u}};
  EXPECT_EQ(FormatSlice(s, true, 0x8421), "points 3 1 2 5 7 33825 2\n10 20 512 1000\n-1 299 0 4294967295\n.\n");
  EXPECT_EQ(FormatSlice(StrokeSlice{}, false, 0), "points 0 0 0 0 0 0 0\n.\n");
}

PenPacket Pen(int32_t x, int32_t y, int32_t pressure) {
  PenPacket p{};
  p.x = x;
  p.y = y;
  p.pressure = pressure;
  return p;
}

// The points are the ones the ink was drawn at, and go with the ink; a new record leaves the ink.
TEST(CanvasRecord, FollowsTheInk) {
  Canvas c;
  c.SetCaps(TabletCaps{0x0B57, 0x8420, 6144, 3072, 1024, 0});
  c.Draw(Pen(6144, 3072, 700), 15);
  c.Draw(Pen(3072, 1536, 0), 20);
  StrokeSlice s = c.Points(0, 10);
  ASSERT_EQ(s.points.size(), 2u);
  EXPECT_EQ(s.points[0].x, 600);
  EXPECT_EQ(s.points[0].y, 300);
  EXPECT_EQ(s.points[0].pressure, 700);
  EXPECT_EQ(s.points[0].ms, 15u);
  EXPECT_EQ(s.points[1].x, 300);
  EXPECT_EQ(s.points[1].pressure, 0);
  EXPECT_EQ(c.ProductId(), 0x8420);

  c.Draw(Pen(0, 0, 700), 30);
  c.Draw(Pen(600, 600, 700), 35);
  c.ClearRecord();
  EXPECT_TRUE(c.Points(0, 10).points.empty());
  EXPECT_GT(cv::countNonZero(c.Snapshot().reshape(1)), 0);
  c.Draw(Pen(0, 0, 700), 40);
  c.Clear();
  EXPECT_TRUE(c.Points(0, 10).points.empty());
}

}  // namespace
}  // namespace capture
