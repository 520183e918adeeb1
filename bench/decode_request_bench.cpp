// decode_request of an 8 MiB request carrying a ~7 MiB config_json, beside a bare
// simdjson parse of the same bytes; the ratio is the decoder's own overhead.
#include <benchmark/benchmark.h>

#include <simdjson.h>

#include <string>

#include "control/json_writer.h"
#include "control/records.h"

namespace {

std::string make_request() {
  // A configuration text of realistic shape: many routing rules.
  std::string config = R"({"log":{"loglevel":"warning"},"routing":{"rules":[)";
  int i = 0;
  // Long names keep the share of escaped quotes realistic, so the escaped request stays under 8 MiB.
  while (config.size() < 7'000'000) {
    config += R"({"type":"field","outboundTag":"block","domain":["advertising-and-tracking-host-)" +
              std::to_string(i++) + R"(.cdn-analytics.example.com","telemetry-collector.example.net"]},)";
  }
  config += R"({"type":"field","outboundTag":"proxy","network":"tcp,udp"}]}})";
  std::string body = R"({"version":1,"command":"start","request_id":"bench","issued_at_unix_ms":1,"server_address":"vpn.example.net","lease_seconds":60,"config_json":)";
  brenmoor::append_json_string(body, config);
  body += R"(,"padding":")";
  const std::size_t target = 8 * 1024 * 1024;
  if (body.size() + 2 < target) body.append(target - body.size() - 2, 'p');
  body += "\"}";
  return body;
}

const std::string& request_bytes() {
  static const std::string bytes = make_request();
  return bytes;
}

void BM_DecodeRequest(benchmark::State& state) {
  const std::string& bytes = request_bytes();
  for (auto _ : state) {
    auto r = brenmoor::decode_request(bytes);
    if (!r) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

// The pipe reader hands decode_request_padded a buffer with the parser's padding.
void BM_DecodeRequestPadded(benchmark::State& state) {
  const std::string& bytes = request_bytes();
  std::string padded = bytes + std::string(brenmoor::kJsonPadding, '\0');
  for (auto _ : state) {
    auto r = brenmoor::decode_request_padded(std::string_view(padded.data(), bytes.size()));
    if (!r) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

void BM_BareSimdjsonParse(benchmark::State& state) {
  const std::string& bytes = request_bytes();
  simdjson::padded_string padded(bytes);
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element doc;
    if (parser.parse(padded).get(doc) != simdjson::SUCCESS) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}

BENCHMARK(BM_DecodeRequest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeRequestPadded)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareSimdjsonParse)->Unit(benchmark::kMillisecond);

// Prints the ratio of the two mean times after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      const double t = r.GetAdjustedRealTime();
      if (r.benchmark_name() == "BM_DecodeRequest") decode_ = t;
      if (r.benchmark_name() == "BM_DecodeRequestPadded") padded_ = t;
      if (r.benchmark_name().find("BareSimdjson") != std::string::npos) bare_ = t;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (decode_ > 0 && bare_ > 0)
      std::printf("decode_request / bare simdjson parse = %.2fx (target: within 2x)\n", decode_ / bare_);
    if (padded_ > 0 && bare_ > 0)
      std::printf("decode_request_padded (pipe path) / bare simdjson parse = %.2fx\n", padded_ / bare_);
  }

 private:
  double decode_ = 0, padded_ = 0, bare_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
