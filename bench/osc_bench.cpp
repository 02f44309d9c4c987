// What one oscilloscope frame costs the UI thread: fetching 2048 bytes of
// samples (from a prepared buffer standing in for the engine), composing the
// frame and copying it to the paint box, averaged over many frames, as a share
// of the 33 ms render period, with the allocations made per frame. The same
// trace drawn with QPainter::drawPolyline is measured alongside for reference.
//
// Allocations are counted by replacing malloc and operator new in this binary
// (glibc only; not in sanitizer builds, whose allocator must stay in charge).

#include <QApplication>
#include <QPainter>
#include <QPen>
#include <QPoint>
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "vis/osc_vis.h"
#include "vis/paint_box.h"

namespace {

// Counts only on the measuring thread and only while a measurement runs.
thread_local bool tCounting = false;
thread_local long tAllocations = 0;

inline void CountAllocation() {
  if (tCounting) ++tAllocations;
}

}  // namespace

#if defined(TW_COUNT_ALLOCATIONS) && defined(__GLIBC__)
#define TW_ALLOCATIONS_COUNTED 1

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) noexcept {
  CountAllocation();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) noexcept {
  CountAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) noexcept {
  CountAllocation();
  return __libc_realloc(pointer, size);
}
void* memalign(size_t alignment, size_t size) noexcept {
  CountAllocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
  CountAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) noexcept {
  CountAllocation();
  void* pointer = __libc_memalign(alignment, size);
  if (!pointer) return ENOMEM;
  *result = pointer;
  return 0;
}
}

namespace {
void* NewBlock(size_t size) {
  CountAllocation();
  void* pointer = __libc_malloc(size ? size : 1);
  if (!pointer) throw std::bad_alloc();
  return pointer;
}
void* NewAligned(size_t size, std::align_val_t alignment) {
  CountAllocation();
  void* pointer = __libc_memalign(static_cast<size_t>(alignment), size ? size : 1);
  if (!pointer) throw std::bad_alloc();
  return pointer;
}
}  // namespace

void* operator new(size_t size) { return NewBlock(size); }
void* operator new[](size_t size) { return NewBlock(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  CountAllocation();
  return __libc_malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
  CountAllocation();
  return __libc_malloc(size ? size : 1);
}
void* operator new(size_t size, std::align_val_t alignment) { return NewAligned(size, alignment); }
void* operator new[](size_t size, std::align_val_t alignment) {
  return NewAligned(size, alignment);
}
void operator delete(void* pointer) noexcept { std::free(pointer); }
void operator delete[](void* pointer) noexcept { std::free(pointer); }
void operator delete(void* pointer, size_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, size_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::align_val_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::align_val_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, size_t, std::align_val_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, size_t, std::align_val_t) noexcept { std::free(pointer); }
#endif

namespace {

constexpr int kWidth = 265;
constexpr int kHeight = 73;
constexpr int kBaseline = 50;
constexpr double kPeriodUs = 33000.0;
constexpr int kRounds = 9;
constexpr int kFramesPerRound = 2000;
constexpr int kWarmUp = 500;
constexpr size_t kFetchBytes = 2048;

// Ten seconds of 44.1 kHz 16-bit stereo: a few tones and some noise, loud
// enough to swing the trace across the whole picture.
class FakeEngine {
 public:
  FakeEngine() : pcm_(44100 * 10 * 4) {
    uint32_t noise = 12345;
    for (size_t frame = 0; frame < pcm_.size() / 4; ++frame) {
      const double t = static_cast<double>(frame) / 44100.0;
      noise = noise * 1664525u + 1013904223u;
      const double n = static_cast<double>(noise >> 16) / 65536.0 - 0.5;
      const double left =
          0.5 * std::sin(2 * M_PI * 220 * t) + 0.2 * std::sin(2 * M_PI * 1870 * t) + 0.2 * n;
      const double right = 0.5 * std::sin(2 * M_PI * 330 * t + 1.0) + 0.2 * n;
      const auto l = static_cast<int16_t>(std::lround(left * 32767));
      const auto r = static_cast<int16_t>(std::lround(right * 32767));
      std::memcpy(&pcm_[frame * 4], &l, 2);
      std::memcpy(&pcm_[frame * 4 + 2], &r, 2);
    }
  }

  // Like the engine's data request: copies the next bytes, never allocates.
  void GetData(void* out, size_t bytes) {
    if (pos_ + bytes > pcm_.size()) pos_ = 0;
    std::memcpy(out, &pcm_[pos_], bytes);
    pos_ += bytes;
  }

 private:
  std::vector<uint8_t> pcm_;
  size_t pos_ = 0;
};

struct Result {
  double usPerFrame;
  double allocationsPerFrame;
};

using Clock = std::chrono::steady_clock;

// Runs frame() kWarmUp times unmeasured, then kRounds rounds of
// kFramesPerRound measured frames; betweenFrames() runs outside the
// measurement (the event loop's turn). The time is the median of the rounds'
// averages, so a busy machine's bursts do not decide it; allocations are
// counted over every measured frame.
template <typename Frame, typename Between>
Result Measure(Frame frame, Between betweenFrames) {
  for (int i = 0; i < kWarmUp; ++i) {
    frame();
    betweenFrames();
  }
  std::array<double, kRounds> roundUs{};
  long allocations = 0;
  for (double& average : roundUs) {
    Clock::duration spent{};
    for (int i = 0; i < kFramesPerRound; ++i) {
      tAllocations = 0;
      const auto start = Clock::now();
      tCounting = true;
      frame();
      tCounting = false;
      spent += Clock::now() - start;
      allocations += tAllocations;
      betweenFrames();
    }
    average = std::chrono::duration<double, std::micro>(spent).count() / kFramesPerRound;
  }
  std::sort(roundUs.begin(), roundUs.end());
  return {roundUs[kRounds / 2], static_cast<double>(allocations) / (kRounds * kFramesPerRound)};
}

void Print(const char* name, const Result& r) {
#ifdef TW_ALLOCATIONS_COUNTED
  std::printf("  %-34s %8.2f us  %7.4f %%  %8.2f\n", name, r.usPerFrame,
              100.0 * r.usPerFrame / kPeriodUs, r.allocationsPerFrame);
#else
  std::printf("  %-34s %8.2f us  %7.4f %%  %8s\n", name, r.usPerFrame,
              100.0 * r.usPerFrame / kPeriodUs, "n/a");
#endif
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);

  FakeEngine engine;
  TOcilloScope scope(kWidth, kHeight);
  TPaintBox box;
  box.resize(kWidth, kHeight);

  // The render tick: a sample buffer on the stack, not cleared, filled by the
  // engine, drawn at X = 0 on baseline 50.
  auto directFrame = [&] {
    TWaveData buffer;
    engine.GetData(buffer.data(), kFetchBytes);
    scope.Draw(&box, buffer, 0, kBaseline);
  };

  // The same trace composed with QPainter, as a straightforward version would.
  QImage reference(kWidth, kHeight, tw::kScopeImageFormat);
  QPen pen(Qt::white, 1);
  auto painterFrame = [&] {
    TWaveData buffer;
    engine.GetData(buffer.data(), kFetchBytes);
    QPoint points[257];
    for (int i = 0; i <= 256; ++i) {
      points[i] = QPoint(i, kBaseline + tw::ScopeSampleValue(buffer[static_cast<size_t>(i)], 50));
    }
    QPainter painter(&reference);
    painter.fillRect(reference.rect(), Qt::black);
    painter.setPen(pen);
    painter.drawPolyline(points, 257);
    painter.end();
    box.SetFrame(reference);
  };

  auto nothing = [] {};
  auto eventLoopTurn = [] { QApplication::processEvents(); };

  std::printf("Oscilloscope frame %dx%d: fetch %zu bytes, compose, copy to the paint box\n", kWidth,
              kHeight, kFetchBytes);
  std::printf(
      "%d frames each; time per frame (median of %d rounds) and its share of the\n"
      "33 ms period; allocations per frame\n\n",
      kRounds * kFramesPerRound, kRounds);
  std::printf("  %-34s %11s  %9s  %8s\n", "", "time", "of 33 ms", "allocs");

  std::printf("Paint box hidden (the frame's own work):\n");
  const Result direct = Measure(directFrame, nothing);
  const Result painter = Measure(painterFrame, nothing);
  Print("direct pixels (TOcilloScope)", direct);
  Print("QPainter::drawPolyline", painter);

  std::printf(
      "\nPaint box on screen, event loop run between frames (update() schedules\n"
      "a repaint each frame, as in the player; the repaint itself is not timed):\n");
  box.show();
  QApplication::processEvents();
  const Result directShown = Measure(directFrame, eventLoopTurn);
  const Result painterShown = Measure(painterFrame, eventLoopTurn);
  Print("direct pixels (TOcilloScope)", directShown);
  Print("QPainter::drawPolyline", painterShown);

  // Qt's repaint of the box, for completeness: the event loop's share.
  const Result repaint = Measure(eventLoopTurn, directFrame);
  std::printf("  %-34s %8.2f us  %7.4f %%\n", "(Qt repaint of the box, event loop)",
              repaint.usPerFrame, 100.0 * repaint.usPerFrame / kPeriodUs);

#ifndef TW_ALLOCATIONS_COUNTED
  std::printf("\nAllocations are not counted in this build.\n");
#endif
  return 0;
}
