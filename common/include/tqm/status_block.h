// The DeviceStatusBlock: the driver's status record, mapped read-mostly into the
// panel's and the ASIO driver's processes. Eighteen 32-bit words, of which word 12
// is pointer-sized (the block's own kernel address). In a 32-bit build the block
// is 72 bytes; in a 64-bit build word 12 takes 8 bytes, every later word moves up
// by 4 and the block is 76 bytes. The 64-bit clients use the 64-bit offsets.
//
// The engine writes the words from its completion routines; clients read them
// without locks, each a naturally aligned 32-bit word. The engine never reads
// back a word it publishes (period, rate, request count): a client that writes
// one misleads other clients until the next period, when the engine writes it
// again. Clients write only the watchdog (the ASIO driver) and the meter
// switch (the panel).
//
// The stream client's halves follow word 1. When the period event fires,
// word 1 names the half (0 or 1) of the client's input buffers that holds the
// period just recorded; the client answers that period in its output half of
// the same index and names that index in OutputReady. The record periods are
// numbered from the start of the streams and period k always uses half k mod 2.
#pragma once

#include "tqm/wire.h"

namespace tqm {

namespace StatusWord {
constexpr uint32_t PeriodFrames = 0;      // latency; 3.4 writes it, 3.5 reads it
constexpr uint32_t RecordHalf = 1;        // index of the last completed input half: the client's half too
constexpr uint32_t SampleRate = 2;        // 44100, 48000 or 96000
constexpr uint32_t Reserved3 = 3;
constexpr uint32_t Watchdog = 4;          // healthy while below kWatchdogLimit
constexpr uint32_t RequestCount = 5;      // playback requests in flight, 2..9
constexpr uint32_t ContainerBits = 10;    // client sample container width; 2.2 sets 32
constexpr uint32_t KernelAddress = 12;    // pointer-sized; clients ignore it
constexpr uint32_t OutPeakLeft = 13;
constexpr uint32_t OutPeakRight = 14;
constexpr uint32_t InPeakLeft = 15;
constexpr uint32_t InPeakRight = 16;
constexpr uint32_t MeterEnable = 17;
constexpr uint32_t Count = 18;
}  // namespace StatusWord

constexpr uint32_t kWatchdogLimit = 10;
constexpr uint32_t kStatusBlockSize32 = 72;
constexpr uint32_t kStatusBlockSize64 = 76;

// Byte offset of a word in the view of a build with the given pointer width.
constexpr uint32_t StatusWordOffset(uint32_t word, bool wide) {
  return word * 4 + (wide && word > StatusWord::KernelAddress ? 4 : 0);
}
constexpr uint32_t StatusBlockSize(bool wide) { return wide ? kStatusBlockSize64 : kStatusBlockSize32; }

static_assert(StatusWordOffset(StatusWord::OutPeakLeft, true) == 56);
static_assert(StatusWordOffset(StatusWord::MeterEnable, true) == 72);
static_assert(StatusWordOffset(StatusWord::MeterEnable, false) == 68);

// A view over a mapped block of either width. Reads and writes are single
// aligned 32-bit accesses through volatile, because the other side changes the
// block at any time.
class StatusBlockView {
 public:
  StatusBlockView(void* base, bool wide) : base_(static_cast<uint8_t*>(base)), wide_(wide) {}

  uint32_t Read(uint32_t word) const {
    return *reinterpret_cast<const volatile uint32_t*>(base_ + StatusWordOffset(word, wide_));
  }
  void Write(uint32_t word, uint32_t value) const {
    *reinterpret_cast<volatile uint32_t*>(base_ + StatusWordOffset(word, wide_)) = value;
  }
  bool wide() const { return wide_; }

 private:
  uint8_t* base_;
  bool wide_;
};

// The block as the driver of this build lays it out (word 12 native pointer).
#pragma pack(push, 4)
struct DeviceStatusBlock {
  uint32_t periodFrames;
  uint32_t recordHalf;
  uint32_t sampleRate;
  uint32_t reserved3;
  uint32_t watchdog;
  uint32_t requestCount;
  uint32_t reserved6[4];
  uint32_t containerBits;
  uint32_t reserved11;
  void* kernelAddress;
  uint32_t outPeak[2];
  uint32_t inPeak[2];
  uint32_t meterEnable;
};
#pragma pack(pop)

constexpr bool kNativeWide = sizeof(void*) == 8;
static_assert(sizeof(DeviceStatusBlock) == StatusBlockSize(kNativeWide));
static_assert(offsetof(DeviceStatusBlock, sampleRate) == StatusWordOffset(StatusWord::SampleRate, kNativeWide));
static_assert(offsetof(DeviceStatusBlock, watchdog) == StatusWordOffset(StatusWord::Watchdog, kNativeWide));
static_assert(offsetof(DeviceStatusBlock, requestCount) == StatusWordOffset(StatusWord::RequestCount, kNativeWide));
static_assert(offsetof(DeviceStatusBlock, containerBits) == StatusWordOffset(StatusWord::ContainerBits, kNativeWide));
static_assert(offsetof(DeviceStatusBlock, kernelAddress) == StatusWordOffset(StatusWord::KernelAddress, kNativeWide));
static_assert(offsetof(DeviceStatusBlock, outPeak) == StatusWordOffset(StatusWord::OutPeakLeft, kNativeWide));
static_assert(offsetof(DeviceStatusBlock, inPeak) == StatusWordOffset(StatusWord::InPeakLeft, kNativeWide));
static_assert(offsetof(DeviceStatusBlock, meterEnable) == StatusWordOffset(StatusWord::MeterEnable, kNativeWide));

}  // namespace tqm
