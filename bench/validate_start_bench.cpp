// The start request's configuration checks on a ~7 MiB configuration (thousands of
// block rules before the final rule, valid throughout), beside simdjson's bare DOM
// parse of the same text. The asset and digest steps are left out: they read the
// file system and do not grow with the configuration.
#include <benchmark/benchmark.h>

#include <simdjson.h>

#include <chrono>
#include <string>

#include "engine/validate_start.h"

namespace {

std::string make_config() {
  std::string config = R"({"log":{"loglevel":"warning"},"dns":{"servers":["1.1.1.1"]},)"
                       R"("inbounds":[{"tag":"tun-in","protocol":"tun","settings":{"name":"Brenmoor Device Path","mtu":1500}}],)"
                       R"("outbounds":[{"tag":"proxy","protocol":"vless","settings":{"vnext":[{"address":"vpn.example.net","port":443,)"
                       R"("users":[{"id":"3f0c9a56-2b1e-4d7a-9c54-8e2f6b1d0a73","encryption":"none"}]}]}},)"
                       R"({"tag":"direct","protocol":"freedom"},{"tag":"block","protocol":"blackhole"}],)"
                       R"("routing":{"domainStrategy":"AsIs","rules":[)";
  const std::string final_rule = R"({"type":"field","outboundTag":"proxy","network":"tcp,udp"}]}})";
  for (int i = 0;; ++i) {
    std::string rule = R"({"type":"field","domain":["domain:advertising-host-)" + std::to_string(i) +
                       R"(.cdn-analytics.example.com","full:telemetry.example.net"],"ip":["198.51.100.0/24"],"outboundTag":"block"},)";
    if (config.size() + rule.size() + final_rule.size() > 7'300'000) break;
    config += rule;
  }
  config += final_rule;
  // As decoded from a request: no spare capacity, so a parser must copy to pad it.
  config.shrink_to_fit();
  return config;
}

const std::string& config_text() {
  static const std::string text = make_config();
  return text;
}

void BM_CheckStartConfig(benchmark::State& state) {
  const std::string& text = config_text();
  for (auto _ : state) {
    auto r = brenmoor::check_start_config(text, "vpn.example.net");
    if (!r) state.SkipWithError(r.error().c_str());
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The baseline as the checks use simdjson: a fresh parser per document.
void BM_BareDomParse(benchmark::State& state) {
  const std::string& text = config_text();
  for (auto _ : state) {
    simdjson::dom::parser parser;
    simdjson::dom::element doc;
    if (parser.parse(text).get(doc) != simdjson::SUCCESS) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// For reference: a parser whose buffers are already allocated.
void BM_BareDomParseReusedParser(benchmark::State& state) {
  const std::string& text = config_text();
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element doc;
    if (parser.parse(text).get(doc) != simdjson::SUCCESS) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Both in one loop, alternating, so the ratio compares like with like.
void BM_RatioToBareParse(benchmark::State& state) {
  const std::string& text = config_text();
  using Clock = std::chrono::steady_clock;
  Clock::duration checks{}, parses{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    {
      simdjson::dom::parser parser;
      simdjson::dom::element doc;
      if (parser.parse(text).get(doc) != simdjson::SUCCESS) state.SkipWithError("parse failed");
      benchmark::DoNotOptimize(doc);
    }
    const auto t1 = Clock::now();
    auto r = brenmoor::check_start_config(text, "vpn.example.net");
    if (!r) state.SkipWithError(r.error().c_str());
    benchmark::DoNotOptimize(r);
    const auto t2 = Clock::now();
    parses += t1 - t0;
    checks += t2 - t1;
  }
  const double mb = static_cast<double>(text.size()) * static_cast<double>(state.iterations()) / 1e6;
  const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  state.counters["config_bytes"] = static_cast<double>(text.size());
  state.counters["check_MBps"] = mb / seconds(checks);
  state.counters["parse_MBps"] = mb / seconds(parses);
  state.counters["check_to_parse"] = seconds(checks) / seconds(parses);
}

BENCHMARK(BM_CheckStartConfig)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareDomParse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareDomParseReusedParser)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RatioToBareParse)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
