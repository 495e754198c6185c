// A progress bar with bytes and throughput on standard error, drawn only
// when standard error is a terminal.
#pragma once

#include <cstdint>

namespace lpx {

struct Progress {
  bool enabled = false;
  const char* label = "";
  uint64_t total = 0;
  uint64_t done = 0;
  int64_t startMs = 0;
  int64_t drawnMs = 0;

  // Starts a bar for `total` bytes; `enabled` decides whether it is drawn.
  void Start(const char* what, uint64_t bytes, bool draw);
  // Counts `n` more bytes and redraws at most ten times a second.
  void Add(uint64_t n);
  // Draws the final state and ends the line.
  void Finish();
  // Seconds since Start.
  double Seconds() const;

 private:
  void Draw();
};

// "12.3 KB/s"-style rate of `bytes` in `seconds`, into out.
void FormatRate(uint64_t bytes, double seconds, char* out, int size);

}  // namespace lpx
