// How the writers report how far a long write has come: counted locally and
// passed to the caller's shared counters only every so often, so a loop over
// samples pays a plain increment and a branch, never an atomic operation.
#pragma once

#include <atomic>
#include <cstdint>

#include "zyl_package/load_result.h"

namespace zyl_package::detail {

// Counts the work of one write into an optional ReadProgress. What has
// gathered is added to `done` once it reaches kPublishEvery and when the
// counter goes away, so a write that finishes leaves `done` equal to what it
// counted. Does nothing without a progress.
class WriteProgress {
 public:
  // 65536 samples, or 64 KiB: a display polling five times a second sees
  // smooth movement while the shared counter is touched rarely.
  static constexpr std::uint64_t kPublishEvery = std::uint64_t{1} << 16;

  // Counts toward a total the caller has set (or sets with set_total).
  explicit WriteProgress(ReadProgress* progress) : progress_(progress) {}
  WriteProgress(ReadProgress* progress, std::uint64_t total)
      : progress_(progress) {
    set_total(total);
  }
  WriteProgress(const WriteProgress&) = delete;
  WriteProgress& operator=(const WriteProgress&) = delete;
  ~WriteProgress() { publish(); }

  void set_total(std::uint64_t total) {
    if (progress_ != nullptr) {
      progress_->total.store(total, std::memory_order_relaxed);
    }
  }

  void add(std::uint64_t count) {
    pending_ += count;
    if (pending_ >= kPublishEvery) publish();
  }

  void publish() {
    if (progress_ != nullptr && pending_ != 0) {
      progress_->done.fetch_add(pending_, std::memory_order_relaxed);
    }
    pending_ = 0;
  }

 private:
  ReadProgress* progress_;
  std::uint64_t pending_ = 0;
};

}  // namespace zyl_package::detail
