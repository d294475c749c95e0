// Chains and pruning: the ordered list operations, chain building with its tie-breaks, the
// pruning order, the heap against the literal sorted-array procedure, and the greedy result
// against a plain hull walk.
#include "video/bfos.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

namespace korvane {
namespace {

// The ordered candidate list of the literal pruning procedure that the heap is checked
// against: an array of record pointers sorted by ascending Slope.
// Position of the last record whose Slope is below `key`, found by halving; -1 when n is 0
// or the first record's Slope is not below the key.
int Find(int32_t key, ModeCandidate* const* list, int n) {
  if (n == 0 || !(list[0]->Slope < key)) return -1;
  int base = 0;
  while (n > 1) {
    const int half = n / 2;
    if (list[base + half]->Slope < key) {
      base += half;
      n -= half;
    } else {
      n = half;
    }
  }
  return base;
}

// Moves entries 1 ... n-1 one place to the front and stores `record` at n-1 (n >= 1).
void DropFirstAndInsert(ModeCandidate* record, ModeCandidate** list, int n) {
  if (n > 1) std::memmove(list, list + 1, static_cast<size_t>(n - 1) * sizeof(*list));
  list[n - 1] = record;
}

// Stores `record` at 0 and moves entries 0 ... n-2 one place back.
void InsertFirst(ModeCandidate* record, ModeCandidate** list, int n) {
  if (n > 1) std::memmove(list + 1, list, static_cast<size_t>(n - 1) * sizeof(*list));
  list[0] = record;
}

ModeCandidate Rec(int32_t slope) {
  ModeCandidate r{};
  r.Slope = slope;
  return r;
}

TEST(OrderedList, FindDropFirstAndInsertAndInsertFirst) {
  std::vector<ModeCandidate> recs = {Rec(1), Rec(3), Rec(3), Rec(7), Rec(9)};
  std::vector<ModeCandidate*> list;
  for (auto& r : recs) list.push_back(&r);
  struct Case {
    int32_t key;
    int n, expected;
  };
  const Case cases[] = {
      {5, 0, -1},  // empty list
      {1, 5, -1},  // key not above the first slope
      {0, 5, -1}, {2, 5, 0}, {3, 5, 0},  {4, 5, 2},
      {7, 5, 2},  {8, 5, 3}, {10, 5, 4},  // every slope below the key: the last position
      {10, 3, 2}, {4, 1, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Find(c.key, list.data(), c.n), c.expected) << c.key << " on " << c.n;

  ModeCandidate x = Rec(5);
  auto l = list;
  DropFirstAndInsert(&x, l.data(), 3);
  EXPECT_EQ(l, (std::vector<ModeCandidate*>{list[1], list[2], &x, list[3], list[4]}));
  l = list;
  InsertFirst(&x, l.data() + 1, 3);
  EXPECT_EQ(l, (std::vector<ModeCandidate*>{list[0], &x, list[1], list[2], list[4]}));
  l = list;
  DropFirstAndInsert(&x, l.data(), 1);
  EXPECT_EQ(l[0], &x);
}

// Offered records with chosen (error, bytes); each stored as a 20-byte record.
struct Offered {
  std::vector<ModeCandidate> records;
  std::vector<ModeCandidate*> pointers;
  explicit Offered(const std::vector<std::pair<int32_t, int32_t>>& points) {
    for (auto [e, b] : points) {
      ModeCandidate r{};
      r.Error = e;
      r.Bytes = b;
      r.Kind = kRawMode;
      records.push_back(r);
    }
    for (auto& r : records) pointers.push_back(&r);
  }
};

struct ChainStep {
  int32_t error, bytes, slope;  // absolute error and bytes, slope to the next
};

TEST(BuildChainTest, StartRecordStepsAndTieBreaks) {
  struct Case {
    const char* name;
    std::vector<std::pair<int32_t, int32_t>> offered;  // (error, bytes)
    std::vector<ChainStep> chain;
  };
  const std::vector<Case> cases = {
      {"lowest error starts; a point above the hull is skipped",
       {{100, 64}, {300, 20}, {1000, 10}, {250, 40}},
       {{100, 64, 4}, {300, 20, 70}, {1000, 10, kChainEnd}}},
      {"equal errors: the fewer bytes start",
       {{50, 20}, {50, 10}, {80, 1}},
       {{50, 10, 3}, {80, 1, kChainEnd}}},
      {"full tie: the first offered starts; equal bytes are never a step",
       {{50, 10}, {50, 10}, {80, 1}},
       {{50, 10, 3}, {80, 1, kChainEnd}}},
      {"equal slopes: the fewer bytes",
       {{0, 64}, {100, 54}, {200, 44}},
       {{0, 64, 10}, {200, 44, kChainEnd}}},
      {"truncated slopes tie: the fewer bytes",
       {{0, 20}, {10, 17}, {7, 18}},
       {{0, 20, 3}, {10, 17, kChainEnd}}},
      {"the cheapest is the best: a chain of one",
       {{10, 1}, {20, 10}, {15, 64}},
       {{10, 1, kChainEnd}}},
      {"a convex chain through every point",
       {{0, 64}, {64, 32}, {160, 20}, {300, 10}, {500, 4}, {900, 1}, {2000, 0}},
       {{0, 64, 2},
        {64, 32, 8},
        {160, 20, 14},
        {300, 10, 33},
        {500, 4, 133},
        {900, 1, 1100},
        {2000, 0, kChainEnd}}},
  };
  for (const Case& c : cases) {
    Offered o(c.offered);
    uint8_t region[64 * 20];
    const int32_t stored =
        BuildChain(7, o.pointers.data(), static_cast<int>(o.pointers.size()), region);
    EXPECT_EQ(stored, static_cast<int32_t>(c.chain.size() * sizeof(ModeCandidate))) << c.name;
    ModeCandidate* r = reinterpret_cast<ModeCandidate*>(region);
    int32_t error = 0, bytes = 0;
    for (size_t k = 0; k < c.chain.size(); ++k) {
      ASSERT_NE(r, nullptr) << c.name;
      error += r->Error;
      bytes += r->Bytes;
      EXPECT_EQ(error, c.chain[k].error) << c.name << " step " << k;
      EXPECT_EQ(bytes, c.chain[k].bytes) << c.name << " step " << k;
      EXPECT_EQ(r->Slope, c.chain[k].slope) << c.name << " step " << k;
      EXPECT_EQ(r->BlockIndex, 7) << c.name;
      if (k > 0) {
        EXPECT_GT(r->Error, 0) << c.name;  // increments: more error, fewer bytes
        EXPECT_LT(r->Bytes, 0) << c.name;
      }
      r = NextInChain(r);
    }
    EXPECT_EQ(r, nullptr) << c.name;
  }
  // The first offered of two equal records starts the chain.
  Offered tie({{50, 10}, {50, 10}});
  uint8_t region[64];
  BuildChain(0, tie.pointers.data(), 2, region);
  EXPECT_EQ(tie.records[0].BlockIndex, 0);
  EXPECT_EQ(tie.records[1].BlockIndex, -1);
}

// Stores chains for blocks given as lists of (error, bytes) points; each block in its own
// region of the storage.
struct Chains {
  static constexpr int kRegion = 64 * 20;
  std::vector<uint8_t> storage;
  std::vector<ModeCandidate*> first;
  explicit Chains(const std::vector<std::vector<std::pair<int32_t, int32_t>>>& blocks)
      : storage(blocks.size() * kRegion) {
    for (size_t i = 0; i < blocks.size(); ++i) {
      Offered o(blocks[i]);
      BuildChain(static_cast<int>(i), o.pointers.data(), static_cast<int>(o.pointers.size()),
                 storage.data() + i * kRegion);
      first.push_back(reinterpret_cast<ModeCandidate*>(storage.data() + i * kRegion));
    }
  }
};

std::vector<int> PruneOrder(RatePruner& p, int32_t limit) {
  std::vector<int> order;
  while (p.FrameBytes() > limit && p.Head()) {
    order.push_back(p.Head()->BlockIndex);
    p.AdvanceBlock(NextInChain(p.Head()));
  }
  return order;
}

TEST(PruningOrder, EqualSlopes) {
  // Slopes: block 0: 10 then 20; block 1: 10; block 2: 20.
  Chains c({{{0, 20}, {100, 10}, {300, 0}}, {{0, 20}, {100, 10}}, {{0, 20}, {200, 10}}});
  RatePruner p;
  p.Reset(3);
  for (auto* r : c.first) p.EnterChain(r);
  EXPECT_EQ(p.FrameBytes(), 60);
  // At entry the block entered last stands first among equal slopes (block 1 before block 0).
  // A block that has just moved goes in front of the blocks whose slope equals its new one
  // (block 0 at slope 20 before block 2).
  EXPECT_EQ(PruneOrder(p, 0), (std::vector<int>{1, 0, 0, 2}));
  // Every chain ended above the limit: blocks 1 and 2 keep 10 bytes each.
  EXPECT_EQ(p.FrameBytes(), 20);
  EXPECT_EQ(p.FrameError(), 300 + 100 + 200);
}

TEST(PruningOrder, LimitMetStopsAndUnreachableLimitReports) {
  Chains c({{{0, 64}, {50, 10}}, {{0, 64}, {10, 1}}, {{5, 1}}});
  {
    RatePruner p;
    p.Reset(3);
    for (auto* r : c.first) p.EnterChain(r);
    EXPECT_EQ(p.FrameBytes(), 129);
    EXPECT_TRUE(p.Prune(129));  // at or above the start: no step
    EXPECT_EQ(p.Steps(), 0);
    EXPECT_TRUE(p.Prune(70));
    EXPECT_EQ(p.Steps(), 1);
    EXPECT_EQ(p.FrameBytes(), 66);
    EXPECT_EQ(p.Chosen(1)->Slope, kChainEnd);
  }
  {
    RatePruner p;
    p.Reset(3);
    for (auto* r : c.first) p.EnterChain(r);
    EXPECT_FALSE(p.Prune(5));
    EXPECT_EQ(p.FrameBytes(), 12);  // every block at its cheapest record
    EXPECT_EQ(p.FrameError(), 65);
    EXPECT_EQ(p.Head(), nullptr);
  }
}

// The sorted-array procedure exactly as the list operations define it, for comparison.
struct LiteralPruner {
  std::vector<ModeCandidate*> list;
  int active = 0, tail = 0;
  double error = 0;
  int32_t bytes = 0;
  explicit LiteralPruner(int n) : list(n, nullptr), tail(n - 1) {}
  void Enter(ModeCandidate* r) {
    if (r->Slope == kChainEnd) {
      list[tail--] = r;
    } else {
      int p = 0;
      if (active > 0 && list[0]->Slope < r->Slope) p = Find(r->Slope, list.data(), active) + 1;
      ++active;
      InsertFirst(r, list.data() + p, active - p);
    }
    error += r->Error;
    bytes += r->Bytes;
  }
  void Advance(ModeCandidate* r) {
    if (r->Slope == kChainEnd) {
      DropFirstAndInsert(r, list.data(), active);
      --active;
      --tail;
    } else {
      const int p = Find(r->Slope, list.data(), active);
      DropFirstAndInsert(r, list.data(), p + 1);
    }
    error += r->Error;
    bytes += r->Bytes;
  }
  std::vector<int> Prune(int32_t limit, bool* met) {
    std::vector<int> order;
    *met = true;
    while (bytes > limit) {
      ModeCandidate* h = list[0];
      if (h->Slope == kChainEnd) {
        *met = false;
        break;
      }
      order.push_back(h->BlockIndex);
      Advance(NextInChain(h));
    }
    return order;
  }
};

// Random blocks: each offers a few records of the fourteen modes with errors drawn from a small
// range, so that equal slopes are frequent.
std::vector<std::vector<std::pair<int32_t, int32_t>>> RandomBlocks(std::mt19937& rng, int n,
                                                                   int errorSpread) {
  static const int32_t sizes[] = {64, 0, 1, 10, 20, 1, 4, 16, 32, 4, 8, 16, 2};
  std::vector<std::vector<std::pair<int32_t, int32_t>>> blocks(n);
  for (auto& b : blocks) {
    const int count = 1 + static_cast<int>(rng() % 12);
    for (int k = 0; k < count; ++k) {
      const int32_t bytes = sizes[rng() % 13];
      // Error falls roughly with bytes, with noise.
      const int32_t error = static_cast<int32_t>((64 - bytes) * (rng() % 4) + rng() % errorSpread);
      b.push_back({error, bytes});
    }
  }
  return blocks;
}

TEST(PruningOrder, HeapMatchesTheSortedArrayProcedure) {
  std::mt19937 rng(42);
  for (int trial = 0; trial < 300; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 80);
    auto blocks = RandomBlocks(rng, n, trial % 2 ? 8 : 400);
    Chains c(blocks);
    RatePruner heap;
    LiteralPruner literal(n);
    heap.Reset(n);
    for (auto* r : c.first) {
      heap.EnterChain(r);
      literal.Enter(r);
    }
    ASSERT_EQ(heap.FrameBytes(), literal.bytes);
    const int32_t limit = static_cast<int32_t>(rng() % (literal.bytes + 2));
    bool met = false;
    const std::vector<int> expected = literal.Prune(limit, &met);
    const std::vector<int> got = PruneOrder(heap, limit);
    ASSERT_EQ(got, expected) << "trial " << trial;
    ASSERT_EQ(heap.FrameBytes() <= limit, met);
    ASSERT_EQ(heap.FrameBytes(), literal.bytes);
    ASSERT_EQ(heap.FrameError(), literal.error);
    // The same current record for every block.
    std::vector<ModeCandidate*> chosen(n, nullptr);
    for (ModeCandidate* r : literal.list) chosen[r->BlockIndex] = r;
    for (int i = 0; i < n; ++i) ASSERT_EQ(heap.Chosen(i), chosen[i]) << "trial " << trial;
  }
}

// The walk written plainly over (error, bytes) points: every block's chain by the same rules,
// then the greedy over all blocks by a linear scan, with explicit arrival counters.
struct PlainAllocation {
  struct Point {
    int32_t error, bytes, slope;
  };
  std::vector<std::vector<Point>> chains;
  std::vector<size_t> at;  // current point of every block
  std::vector<int> order;
  int32_t bytes = 0;
  double error = 0;

  static std::vector<Point> Walk(const std::vector<std::pair<int32_t, int32_t>>& pts) {
    const int n = static_cast<int>(pts.size());
    std::vector<bool> used(n, false);
    auto startKey = [&](int i) { return std::make_tuple(pts[i].first, pts[i].second, i); };
    int cur = 0;
    for (int i = 1; i < n; ++i)
      if (startKey(i) < startKey(cur)) cur = i;
    used[cur] = true;
    std::vector<Point> chain;
    for (;;) {
      std::vector<std::tuple<int32_t, int32_t, int>> steps;  // (slope, bytes, offer order)
      for (int i = 0; i < n; ++i)
        if (!used[i] && pts[i].second < pts[cur].second && pts[i].first > pts[cur].first)
          steps.emplace_back((pts[i].first - pts[cur].first) / (pts[cur].second - pts[i].second),
                             pts[i].second, i);
      if (steps.empty()) {
        chain.push_back({pts[cur].first, pts[cur].second, kChainEnd});
        return chain;
      }
      std::sort(steps.begin(), steps.end());
      chain.push_back({pts[cur].first, pts[cur].second, std::get<0>(steps[0])});
      cur = std::get<2>(steps[0]);
      used[cur] = true;
    }
  }

  PlainAllocation(const std::vector<std::vector<std::pair<int32_t, int32_t>>>& blocks,
                  int32_t limit) {
    std::vector<long> arrival(blocks.size());
    long clock = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
      chains.push_back(Walk(blocks[i]));
      at.push_back(0);
      arrival[i] = clock++;
      bytes += chains[i][0].bytes;
      error += chains[i][0].error;
    }
    while (bytes > limit) {
      int best = -1;
      for (size_t i = 0; i < chains.size(); ++i) {
        const int32_t s = chains[i][at[i]].slope;
        if (s == kChainEnd) continue;
        const int32_t bs = best < 0 ? 0 : chains[best][at[best]].slope;
        if (best < 0 || s < bs || (s == bs && arrival[i] > arrival[best]))
          best = static_cast<int>(i);
      }
      if (best < 0) break;
      const Point& from = chains[best][at[best]];
      const Point& to = chains[best][at[best] + 1];
      bytes += to.bytes - from.bytes;
      error += to.error - from.error;
      ++at[best];
      arrival[best] = clock++;
      order.push_back(best);
    }
  }
};

TEST(PruningBruteForce, GreedyEqualsThePlainHullWalk) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 40);
    auto blocks = RandomBlocks(rng, n, trial % 3 ? 30 : 2000);
    Chains c(blocks);
    RatePruner p;
    p.Reset(n);
    for (auto* r : c.first) p.EnterChain(r);
    const int32_t limit = static_cast<int32_t>(rng() % (p.FrameBytes() + 2));
    PlainAllocation plain(blocks, limit);

    // Chains equal the plain walk, record for record.
    for (int i = 0; i < n; ++i) {
      int32_t e = 0, b = 0;
      size_t k = 0;
      for (ModeCandidate* r = c.first[i]; r; r = NextInChain(r), ++k) {
        ASSERT_LT(k, plain.chains[i].size());
        e += r->Error;
        b += r->Bytes;
        ASSERT_EQ(e, plain.chains[i][k].error);
        ASSERT_EQ(b, plain.chains[i][k].bytes);
        ASSERT_EQ(r->Slope, plain.chains[i][k].slope);
        if (k > 0) {
          ASSERT_GT(r->Slope, plain.chains[i][k - 1].slope);  // convex: slopes rise
        }
      }
      ASSERT_EQ(k, plain.chains[i].size());
    }

    const std::vector<int> order = PruneOrder(p, limit);
    ASSERT_EQ(order, plain.order) << "trial " << trial;
    ASSERT_EQ(p.FrameBytes(), plain.bytes);
    ASSERT_EQ(p.FrameError(), plain.error);

    // Greedy optimality: no step taken is steeper than a step still available.
    int32_t steepestTaken = -1, flattestLeft = kChainEnd;
    for (int i = 0; i < n; ++i) {
      for (size_t k = 0; k < plain.at[i]; ++k)
        steepestTaken = std::max(steepestTaken, plain.chains[i][k].slope);
      flattestLeft = std::min(flattestLeft, plain.chains[i][plain.at[i]].slope);
    }
    ASSERT_LE(steepestTaken, flattestLeft);
  }
}

// Pruning to a slope takes exactly the steps below it, and the frame's rate curve tells the
// bytes that leaves at every rung of the ladder; a limit below that still prunes on, steepest
// step last.
TEST(PruningToASlope, RateCurveGivesTheBytesOfEveryRung) {
  std::mt19937 rng(11);
  // The ladder rises, from no step at all to every step.
  EXPECT_EQ(RateCurve::SlopeAt(0), 0);
  EXPECT_EQ(RateCurve::SlopeAt(1), 1);
  EXPECT_EQ(RateCurve::SlopeAt(9), 2);
  EXPECT_EQ(RateCurve::SlopeAt(RateCurve::kSteps - 1), kChainEnd);
  for (int k = 1; k < RateCurve::kSteps; ++k)
    ASSERT_GE(RateCurve::SlopeAt(k), RateCurve::SlopeAt(k - 1));
  EXPECT_EQ(RateCurve::RungAbove(0), 1);
  EXPECT_EQ(RateCurve::RungAbove(1), 2);
  EXPECT_EQ(RateCurve::RungAbove(4096), 8 * 12 + 2);
  EXPECT_EQ(RateCurve::RungAbove(kChainEnd - 1), RateCurve::kSteps - 1);

  for (int trial = 0; trial < 100; ++trial) {
    const int n = 1 + static_cast<int>(rng() % 60);
    auto blocks = RandomBlocks(rng, n, trial % 2 ? 30 : 3000);
    Chains c(blocks);
    RateCurve curve;
    for (auto* r : c.first) AddChainToCurve(r, curve);
    FinishRateCurve(curve);
    for (int k = 0; k < RateCurve::kSteps; k += 1 + static_cast<int>(rng() % 9)) {
      const int32_t slope = RateCurve::SlopeAt(k);
      RatePruner p;
      p.Reset(n);
      for (auto* r : c.first) p.EnterChain(r);
      ASSERT_TRUE(p.Prune(kChainEnd - 1, slope));
      ASSERT_EQ(p.FrameBytes(), curve.Bytes[k]) << "trial " << trial << " rung " << k;
      // Each block stepping to the slope on its own reaches the same records and totals.
      int32_t bytes = 0, steps = 0;
      int64_t error = 0;
      for (int i = 0; i < n; ++i)
        ASSERT_EQ(RatePruner::StepToSlope(c.first[i], slope, bytes, error, steps), p.Chosen(i));
      ASSERT_EQ(bytes, p.FrameBytes());
      ASSERT_EQ(static_cast<double>(error), p.FrameError());
      ASSERT_EQ(steps, p.Steps());
      for (int i = 0; i < n; ++i) {
        // Every step taken lies below the slope, every step left at or above it.
        for (ModeCandidate* r = c.first[i]; r != p.Chosen(i); r = NextInChain(r))
          ASSERT_LT(r->Slope, slope);
        ASSERT_GE(p.Chosen(i)->Slope, slope);
      }
      // A limit below those bytes: the steps go on to the limit, or to every chain's end.
      const int32_t limit = static_cast<int32_t>(p.FrameBytes() / 2);
      const bool met = p.Prune(limit, slope);
      ASSERT_EQ(met, p.FrameBytes() <= limit);
      if (!met) {
        ASSERT_EQ(p.FrameBytes(), curve.Bytes[RateCurve::kSteps - 1]);
      }
    }
  }
}

}  // namespace
}  // namespace korvane
