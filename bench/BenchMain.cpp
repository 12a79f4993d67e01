// Runs every registered benchmark, then prints ratios. Benchmarks that belong
// to one comparison share a group name and differ in the last path element:
//   "Identity/baseline:kill0" and "Identity/capture" -> capture / kill0.
// The group's baseline is the benchmark whose last element starts with
// "baseline"; ratios use CPU-independent real time per iteration.

#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      // Grouped by the registered name and arguments, without the run
      // options the library appends ("iterations:10", "real_time").
      benchmark::BenchmarkName key = run.run_name;
      key.min_time = key.min_warmup_time = key.iterations = key.repetitions = key.time_type =
          key.threads = "";
      std::string name = key.str();
      auto slash = name.rfind('/');
      if (slash == std::string::npos) continue;
      auto& group = groups_[name.substr(0, slash)];
      group.emplace_back(name.substr(slash + 1), run.GetAdjustedRealTime());
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [group, entries] : groups_) {
      double baseline = 0;
      std::string baselineName;
      for (const auto& [name, time] : entries)
        if (name.rfind("baseline", 0) == 0) baseline = time, baselineName = name;
      if (baseline <= 0) continue;
      std::cout << "ratio " << group << " (to " << baselineName << ")\n";
      for (const auto& [name, time] : entries)
        if (name != baselineName)
          std::cout << "  " << std::left << std::setw(40) << name << std::fixed
                    << std::setprecision(2) << time / baseline << "x\n";
    }
  }

 private:
  std::map<std::string, std::vector<std::pair<std::string, double>>> groups_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
