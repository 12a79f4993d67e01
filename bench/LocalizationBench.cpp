// What translating costs. Render: the worst text a caller can hand it (the
// longest allowed, passing the prefix and suffix filters of templates, with
// every key allowed) against a plain key lookup. Decode: building the
// catalogue on first use (Base64, JSON, maps, one regular expression per
// template) against only decoding and parsing its JSON.

#include <set>
#include <string>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/text/AppLocalization.h"

namespace korvelin::generated {
extern const char kAppTranslationCatalog[];
}

namespace {

using korvelin::AppLanguage;
using korvelin::AppLocalization;

void baselineLookup(benchmark::State& state) {
  const auto& catalogue = AppLocalization::catalogue();
  for (auto _ : state)
    benchmark::DoNotOptimize(catalogue.find(AppLanguage::russian, "Cancel"));
}
BENCHMARK(baselineLookup)->Name("Render/baseline:keyLookup")->MeasureProcessCPUTime();

void renderKey(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(AppLocalization::render("Cancel", AppLanguage::russian));
}
BENCHMARK(renderKey)->Name("Render/renderKey")->MeasureProcessCPUTime();

void renderComposed(benchmark::State& state) {
  const std::string text = "Could not save profile catalog: No space left on device.";
  for (auto _ : state)
    benchmark::DoNotOptimize(AppLocalization::render(text, AppLanguage::russian));
}
BENCHMARK(renderComposed)->Name("Render/renderComposedError")->MeasureProcessCPUTime();

// 16384 UTF-16 units in all; `middle` repeated between the prefix and suffix.
std::string longest(const std::string& prefix,
                    const std::string& middle,
                    const std::string& suffix) {
  std::string text = prefix;
  while (text.size() + middle.size() + suffix.size() <= 16384)
    text += middle;
  text.append(16384 - text.size() - suffix.size(), 'x');
  return text + suffix;
}

void renderWorst(benchmark::State& state, const std::string& text) {
  const auto keys = AppLocalization::catalogue().keys();
  const std::set<std::string, std::less<>> all(keys.begin(), keys.end());
  for (auto _ : state)
    benchmark::DoNotOptimize(AppLocalization::render(text, AppLanguage::russian, &all));
}
// Matches late: the one-placeholder pattern runs the whole text.
BENCHMARK_CAPTURE(renderWorst, matching, longest("Could not save profile catalog: ", "x", "."))
    ->Name("Render/worst:longestMatching")
    ->MeasureProcessCPUTime();
// Passes the filters of every "{0} ... ." and "Profile ... ." template and
// holds their middle literals many times over, yet matches none of them.
BENCHMARK_CAPTURE(renderWorst, failing, longest("Profile “", "” / x (y) / ", " was not."))
    ->Name("Render/worst:longestFailing")
    ->MeasureProcessCPUTime();

void baselineParse(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(nlohmann::json::parse(
        *korvelin::base64Decode(korvelin::generated::kAppTranslationCatalog)));
}
BENCHMARK(baselineParse)->Name("CatalogueDecode/baseline:base64AndJson")->MeasureProcessCPUTime();

void decode(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(
        korvelin::TranslationCatalog::decode(korvelin::generated::kAppTranslationCatalog));
}
BENCHMARK(decode)->Name("CatalogueDecode/firstUse")->MeasureProcessCPUTime();

}  // namespace
