// Throughput of the character conversions and of FormatUnixName.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "convert/charset.h"
#include "convert/path.h"
#include "convert/variant.h"

namespace lpx {
namespace {

constexpr size_t kTextSize = 4096;  // one data frame

// Mostly ASCII text with a sprinkling of high bytes, as an upload or a
// local text file typically is.
std::string SampleText(bool allHigh) {
  std::string text;
  for (size_t i = 0; text.size() < kTextSize; ++i) {
    if (allHigh || i % 16 == 0) {
      text += static_cast<char>(0x80 + i % 128);
    } else {
      text += static_cast<char>('a' + i % 26);
    }
  }
  return text;
}

void BM_Dos2Ansi(benchmark::State& state) {
  std::string text = SampleText(state.range(0) != 0);
  for (auto _ : state) {
    ResetCharsetState();
    unsigned sum = 0;
    for (unsigned char c : text) sum += Dos2Ansi(c);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Dos2Ansi)->Arg(0)->Arg(1);

void BM_FromUTF8(benchmark::State& state) {
  std::string text = SampleText(false);
  for (auto _ : state) {
    FromUTF8(text.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_FromUTF8);

void BM_EncodeUTF8Byte(benchmark::State& state) {
  std::string text = SampleText(state.range(0) != 0);
  for (auto _ : state) {
    size_t total = 0;
    uint8_t out[3];
    for (unsigned char c : text) total += EncodeUTF8Byte(c, out);
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EncodeUTF8Byte)->Arg(0)->Arg(1);

// The sample text in UTF-8, in a buffer of its own; nullptr, with the
// benchmark skipped, when it does not fit.
constexpr size_t kEncodedSize = 3 * kTextSize + 1;
const char* EncodedSample(benchmark::State& state) {
  static char encoded[kEncodedSize];
  if (EncodeUTF8(SampleText(state.range(0) != 0).c_str(), encoded, sizeof encoded)) return encoded;
  state.SkipWithError("sample does not fit");
  return nullptr;
}

void BM_DecodeUTF8InPlace(benchmark::State& state) {
  const char* encoded = EncodedSample(state);
  if (encoded == nullptr) return;
  size_t length = strlen(encoded);
  static char work[kEncodedSize];
  for (auto _ : state) {
    memcpy(work, encoded, length + 1);
    DecodeUTF8InPlace(work);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}
BENCHMARK(BM_DecodeUTF8InPlace)->Arg(0)->Arg(1);

struct Stream {
  const uint8_t* bytes;
  size_t size;
  size_t pos;
};

int ReadStreamByte(void* context) {
  Stream* s = static_cast<Stream*>(context);
  return s->pos < s->size ? s->bytes[s->pos++] : -1;
}

void BM_DecodeUTF8Stream(benchmark::State& state) {
  const char* encoded = EncodedSample(state);
  if (encoded == nullptr) return;
  size_t length = strlen(encoded);
  for (auto _ : state) {
    Stream s{reinterpret_cast<const uint8_t*>(encoded), length, 0};
    unsigned sum = 0;
    for (int c; (c = ReadStreamByte(&s)) >= 0;) sum += DecodeUTF8Stream(c, ReadStreamByte, &s);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}
BENCHMARK(BM_DecodeUTF8Stream)->Arg(0)->Arg(1);

void BM_FormatUnixName(benchmark::State& state) {
  variantC = state.range(0) != 0;
  const char* path = "\\home\\user\\Dokumente\\Pr\xE4sentation 2026\\Kosten in \x80.txt";
  for (auto _ : state) benchmark::DoNotOptimize(FormatUnixName(path));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * strlen(path)));
  variantC = false;
}
BENCHMARK(BM_FormatUnixName)->Arg(0)->Arg(1);

}  // namespace
}  // namespace lpx

BENCHMARK_MAIN();
