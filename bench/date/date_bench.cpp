// Rates of the text functions the HTTP client calls per response and per request:
// ParseDate on each of the three HTTP date forms, EscapeURL and ParseURL.
#include <benchmark/benchmark.h>

#include "libs/ccutility/http/http_date.h"
#include "libs/ccutility/http/url.h"

namespace {

constexpr int64_t kNow = 1700000000;

void ParseDateForm(benchmark::State& state, const char* text) {
  CCString input(text);
  for (auto _ : state)
    benchmark::DoNotOptimize(cc::ParseDate(input, kNow));
  if (cc::ParseDate(input, kNow) == -1)
    state.SkipWithError("the text did not parse");
}
BENCHMARK_CAPTURE(ParseDateForm, rfc1123, "Sun, 06 Nov 1994 08:49:37 GMT");
BENCHMARK_CAPTURE(ParseDateForm, rfc850, "Sunday, 06-Nov-94 08:49:37 GMT");
BENCHMARK_CAPTURE(ParseDateForm, asctime, "Sun Nov  6 08:49:37 1994");

void FormatHTTPDate(benchmark::State& state) {
  for (auto _ : state) {
    CCString text;
    cc::FormatHTTPDate(784111777, text);
    benchmark::DoNotOptimize(text.c_str());
  }
}
BENCHMARK(FormatHTTPDate);

void EscapeURLPath(benchmark::State& state, const char* text) {
  CCString input(text);
  for (auto _ : state) {
    CCString escaped = cc::EscapeURL(input);
    benchmark::DoNotOptimize(escaped.c_str());
  }
}
// A typical download path, with nothing to escape and with a few characters to escape.
BENCHMARK_CAPTURE(EscapeURLPath, clean, "/plugin/npwoxact.dll.zs?v=1.0.3.158&t=1700000000");
BENCHMARK_CAPTURE(EscapeURLPath, escaped, "/plugin/{user name}/npwoxact dll.zs?v=[1.0.3]");

void ParseURLText(benchmark::State& state, const char* text) {
  CCString input(text);
  cc::URL url;
  for (auto _ : state)
    benchmark::DoNotOptimize(cc::ParseURL(input, url));
}
BENCHMARK_CAPTURE(ParseURLText, absolute, "http://downloads.example:8080/plugin/npwoxact.dll.ver");
BENCHMARK_CAPTURE(ParseURLText, bare_host, "downloads.example");

}  // namespace

BENCHMARK_MAIN();
