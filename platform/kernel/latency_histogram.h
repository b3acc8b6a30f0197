// A distribution of short delays (a thread's lateness after its due time),
// kept in fixed buckets so that recording is one relaxed increment: the
// recording thread is a real-time one and must not allocate or lock.
//
// Buckets are 1 us wide below 4 ms and 64 us wide from there to 65.536 ms;
// anything longer lands in one overflow bucket. The largest value is kept
// exactly. A percentile is the lower edge of the bucket holding that rank, so
// below 4 ms it is exact to the microsecond.
//
// One thread records; any thread may read a snapshot at any time (it may lag
// a recording in progress by one value).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

namespace tqm::kernel {

class LatencyHistogram {
 public:
  static constexpr uint64_t kFineLimitUs = 4096;
  static constexpr uint64_t kCoarseWidthUs = 64;
  static constexpr uint64_t kLimitUs = 65536;
  static constexpr size_t kBuckets = kFineLimitUs + (kLimitUs - kFineLimitUs) / kCoarseWidthUs + 1;

  // Negative values (a wake seen before its signal was stamped) count as 0.
  void RecordNs(int64_t ns) {
    const uint64_t us = ns > 0 ? uint64_t(ns) / 1000 : 0;
    buckets_[BucketOf(us)].fetch_add(1, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
    uint64_t seen = maxUs_.load(std::memory_order_relaxed);
    while (us > seen && !maxUs_.compare_exchange_weak(seen, us, std::memory_order_relaxed)) {
    }
  }

  void Reset() {
    for (std::atomic<uint64_t>& b : buckets_) b.store(0, std::memory_order_relaxed);
    count_.store(0, std::memory_order_relaxed);
    maxUs_.store(0, std::memory_order_relaxed);
  }

  uint64_t count() const { return count_.load(std::memory_order_relaxed); }
  std::optional<uint64_t> MaxUs() const {
    if (!count()) return std::nullopt;
    return maxUs_.load(std::memory_order_relaxed);
  }
  // The value at fraction q (0..1) of the recorded values, in microseconds:
  // the smallest bucket edge at or below which at least ceil(q x n) values lie.
  std::optional<uint64_t> PercentileUs(double q) const {
    uint64_t n = 0;
    std::array<uint64_t, kBuckets> counts;
    for (size_t i = 0; i < kBuckets; ++i) n += counts[i] = buckets_[i].load(std::memory_order_relaxed);
    if (!n) return std::nullopt;
    uint64_t rank = uint64_t(q * double(n) + 0.999999);
    if (rank < 1) rank = 1;
    if (rank > n) rank = n;
    uint64_t seen = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
      seen += counts[i];
      if (seen >= rank) return std::min(LowerEdgeUs(i), maxUs_.load(std::memory_order_relaxed));
    }
    return maxUs_.load(std::memory_order_relaxed);
  }
  // Values above `us` (bucket resolution: exact below 4 ms).
  uint64_t CountAboveUs(uint64_t us) const {
    uint64_t n = 0;
    for (size_t i = BucketOf(us) + 1; i < kBuckets; ++i) n += buckets_[i].load(std::memory_order_relaxed);
    return n;
  }

  static size_t BucketOf(uint64_t us) {
    if (us < kFineLimitUs) return size_t(us);
    if (us >= kLimitUs) return kBuckets - 1;
    return size_t(kFineLimitUs + (us - kFineLimitUs) / kCoarseWidthUs);
  }
  static uint64_t LowerEdgeUs(size_t bucket) {
    if (bucket < kFineLimitUs) return bucket;
    return kFineLimitUs + (bucket - kFineLimitUs) * kCoarseWidthUs;
  }

 private:
  std::array<std::atomic<uint64_t>, kBuckets> buckets_{};
  std::atomic<uint64_t> count_{0};
  std::atomic<uint64_t> maxUs_{0};
};

}  // namespace tqm::kernel
