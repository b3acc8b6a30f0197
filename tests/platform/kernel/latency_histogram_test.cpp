// The delay distribution the real-time clock and the stream client keep:
// bucket edges, percentiles by rank, the exact maximum, and what the real
// clock records of its own instants.
#include <gtest/gtest.h>
#include <wdm.h>

#include "platform/kernel/latency_histogram.h"
#include "platform/kernel/machine.h"

namespace tqm::kernel {
namespace {

TEST(LatencyHistogram, EmptyHasNoFigures) {
  LatencyHistogram h;
  EXPECT_EQ(h.count(), 0u);
  EXPECT_FALSE(h.PercentileUs(0.5).has_value());
  EXPECT_FALSE(h.MaxUs().has_value());
  EXPECT_EQ(h.CountAboveUs(0), 0u);
}

struct BucketRow {
  uint64_t us;
  uint64_t lowerEdge;  // the value a percentile falling in its bucket reports
  const char* why;
};

TEST(LatencyHistogram, BucketEdges) {
  const BucketRow rows[] = {
      {0, 0, "the first fine bucket"},
      {1, 1, "1 us buckets"},
      {4095, 4095, "the last fine bucket"},
      {4096, 4096, "the first 64 us bucket"},
      {4159, 4096, "still in it: 4096 + 63"},
      {4160, 4160, "the next: 4096 + 64"},
      {65535, 65472, "the last coarse bucket: 65536 - 64"},
      {65536, 65536, "overflow"},
      {10000000, 65536, "overflow"},
  };
  for (const BucketRow& row : rows) {
    SCOPED_TRACE(std::to_string(row.us) + " us: " + row.why);
    EXPECT_EQ(LatencyHistogram::LowerEdgeUs(LatencyHistogram::BucketOf(row.us)), row.lowerEdge);
  }
  EXPECT_EQ(LatencyHistogram::BucketOf(10000000), LatencyHistogram::kBuckets - 1);
}

TEST(LatencyHistogram, PercentilesTakeTheRankOfTheRecordedValues) {
  // 1..100 us, one each, recorded in reverse: rank ceil(q x 100).
  LatencyHistogram h;
  for (int64_t us = 100; us >= 1; --us) h.RecordNs(us * 1000 + 999);  // sub-microsecond parts are dropped
  EXPECT_EQ(h.count(), 100u);
  struct Row {
    double q;
    uint64_t us;
  };
  const Row rows[] = {{0.0, 1}, {0.01, 1}, {0.5, 50}, {0.99, 99}, {0.995, 100}, {1.0, 100}};
  for (const Row& row : rows) {
    SCOPED_TRACE("q " + std::to_string(row.q));
    EXPECT_EQ(h.PercentileUs(row.q), row.us);
  }
  EXPECT_EQ(h.MaxUs(), 100u);
  EXPECT_EQ(h.CountAboveUs(90), 10u);
  EXPECT_EQ(h.CountAboveUs(100), 0u);
}

TEST(LatencyHistogram, TheMaximumIsExactBeyondTheFineBuckets) {
  // 98 prompt values and two long ones: the 99th percentile lands in a
  // coarse bucket (its lower edge), the maximum is the value itself.
  LatencyHistogram h;
  for (int i = 0; i < 98; ++i) h.RecordNs(20'000);
  h.RecordNs(5'000'000);   // 5000 us: bucket 4096 + 14 x 64 = 4992
  h.RecordNs(70'123'000);  // 70123 us: overflow
  EXPECT_EQ(h.PercentileUs(0.5), 20u);
  EXPECT_EQ(h.PercentileUs(0.99), 4992u);
  EXPECT_EQ(h.PercentileUs(1.0), 65536u);
  EXPECT_EQ(h.MaxUs(), 70123u);
  EXPECT_EQ(h.CountAboveUs(1000), 2u);
}

TEST(LatencyHistogram, EarlyValuesCountAsZeroAndResetForgets) {
  LatencyHistogram h;
  h.RecordNs(-1500);
  EXPECT_EQ(h.PercentileUs(1.0), 0u);
  EXPECT_EQ(h.MaxUs(), 0u);
  h.Reset();
  EXPECT_EQ(h.count(), 0u);
  EXPECT_FALSE(h.MaxUs().has_value());
}

TEST(LatencyHistogram, TheRealClockRecordsEachInstantAndTheVirtualNone) {
  // The real clock records one value per instant it ran (at least one per
  // millisecond); a virtual one has no wall-clock due time to be late for.
  {
    Machine machine(MachineOptions{ClockMode::Virtual});
    machine.clock().Step(20);
    EXPECT_EQ(machine.clock().Lateness().count(), 0u);
    EXPECT_FALSE(machine.clock().RealTimePriority().known);
  }
  Machine machine(MachineOptions{ClockMode::Real});
  machine.clock().ResetLateness();
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -20 * Clock::kUnitsPerMillisecond;
  // The wait ends when the clock thread has passed its deadline, so it has
  // run every millisecond up to there.
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(machine.clock().Lateness().count(), 19u);
  const Clock::Priority priority = machine.clock().RealTimePriority();
  EXPECT_TRUE(priority.known);
  EXPECT_EQ(priority.realTime, priority.refusal.empty()) << priority.refusal;
}

}  // namespace
}  // namespace tqm::kernel
