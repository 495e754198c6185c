#include "client/progress.h"

#include <cinttypes>
#include <cstdio>

#include "client/session.h"

namespace lpx {

namespace {
constexpr int64_t kRedrawMs = 100;
constexpr int kBarWidth = 20;
}  // namespace

void FormatRate(uint64_t bytes, double seconds, char* out, int size) {
  const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
  int n;
  if (rate >= 1024.0 * 1024.0) {
    n = snprintf(out, static_cast<size_t>(size), "%.1f MB/s", rate / (1024.0 * 1024.0));
  } else {
    n = snprintf(out, static_cast<size_t>(size), "%.1f KB/s", rate / 1024.0);
  }
  if (n < 0 || n >= size) out[0] = '\0';
}

void Progress::Start(const char* what, uint64_t bytes, bool draw) {
  enabled = draw;
  label = what;
  total = bytes;
  done = 0;
  startMs = NowMs();
  drawnMs = 0;
  if (enabled) Draw();
}

void Progress::Add(uint64_t n) {
  done += n;
  if (!enabled) return;
  const int64_t now = NowMs();
  if (now - drawnMs >= kRedrawMs) Draw();
}

void Progress::Finish() {
  if (!enabled) return;
  Draw();
  fputc('\n', stderr);
  enabled = false;
}

double Progress::Seconds() const { return static_cast<double>(NowMs() - startMs) / 1000.0; }

void Progress::Draw() {
  drawnMs = NowMs();
  const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
  char bar[kBarWidth + 1];
  const int filled = total == 0 ? kBarWidth : static_cast<int>(done * kBarWidth / total);
  for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kBarWidth] = '\0';
  char rate[32];
  FormatRate(done, Seconds(), rate, sizeof rate);
  fprintf(stderr, "\r%-12.12s [%s] %3d%% %10" PRIu64 "/%" PRIu64 " bytes %11s", label, bar, percent,
          done, total, rate);
  fflush(stderr);
}

}  // namespace lpx
