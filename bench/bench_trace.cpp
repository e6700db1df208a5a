// Throughput of the trace record formatting for 64 KiB transfers: the
// table-driven formatter of the library against a per-byte fprintf
// formatter producing the same text. Reports MB/s of payload for each and
// their ratio.
#include <benchmark/benchmark.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "TraceFormat.h"

namespace {

constexpr int kPayload = 64 * 1024;

const std::vector<unsigned char>& Payload() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> d(kPayload);
    unsigned state = 12345;
    for (unsigned char& b : d)
      b = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 16);
    return d;
  }();
  return data;
}

// The straightforward way: one fprintf per byte.
void NaiveRows(FILE* out, const unsigned char* data, int length, bool charColumn) {
  for (int i = 0; i < length; ++i) {
    if (i % 16 == 0) fprintf(out, " %08Xh: ", i);
    fprintf(out, " %02X", data[i]);
    if (i % 16 == 15) {
      if (charColumn) {
        fprintf(out, "  ");
        for (int j = i - 15; j <= i; ++j)
          fprintf(out, "%c", (data[j] >= 0x20 && data[j] <= 0x7F) ? data[j] : '.');
      }
      fprintf(out, "\n");
    }
  }
}

void BM_TableWrite(benchmark::State& state) {
  const std::vector<unsigned char>& data = Payload();
  std::string text;
  for (auto _ : state) {
    text.clear();
    AppendTraceWriteData(text, data.data(), kPayload);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * kPayload);
}

void BM_TableRead(benchmark::State& state) {
  const std::vector<unsigned char>& data = Payload();
  std::string text;
  for (auto _ : state) {
    text.clear();
    AppendTraceReadData(text, data.data(), kPayload);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * kPayload);
}

// The naive formatter writes into an in-memory stream so that no device
// cost is measured on either side.
void RunNaive(benchmark::State& state, bool charColumn) {
  const std::vector<unsigned char>& data = Payload();
  char* buffer = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&buffer, &size);
  for (auto _ : state) {
    rewind(out);
    fprintf(out, "bufsize = %d\n%s", kPayload, charColumn ? "Read DATA =\n" : "Write DATA =\n");
    NaiveRows(out, data.data(), kPayload, charColumn);
    fflush(out);
    benchmark::DoNotOptimize(buffer);
  }
  fclose(out);
  free(buffer);
  state.SetBytesProcessed(state.iterations() * kPayload);
}

void BM_NaiveWrite(benchmark::State& state) { RunNaive(state, false); }
void BM_NaiveRead(benchmark::State& state) { RunNaive(state, true); }

BENCHMARK(BM_TableWrite);
BENCHMARK(BM_NaiveWrite);
BENCHMARK(BM_TableRead);
BENCHMARK(BM_NaiveRead);

// Console output plus a summary line per direction with the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* direction : {"Write", "Read"}) {
      double table = rates_[std::string("BM_Table") + direction];
      double naive = rates_[std::string("BM_Naive") + direction];
      if (table > 0 && naive > 0) {
        printf("%-5s 64 KiB: table %.0f MB/s, per-byte fprintf %.0f MB/s, ratio %.1fx\n", direction,
               table / 1e6, naive / 1e6, table / naive);
      }
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
