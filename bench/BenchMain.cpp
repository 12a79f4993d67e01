// Runs every registered benchmark, then prints ratios. Benchmarks that belong
// to one comparison share a group name and differ in the last path element:
//   "Identity/baseline:kill0" and "Identity/capture" -> capture / kill0.
// The group's baseline is the benchmark whose last element starts with
// "baseline". Every measurement gets two ratios: wall time, and CPU time of
// this process (all its threads, as MeasureProcessCPUTime records it) plus
// that of the children the benchmark reaped (see ChildrenCpu.h). With
// --benchmark_repetitions each figure is the median of the repetitions.

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/ChildrenCpu.h"

namespace {

// Per iteration, in seconds: wall time, CPU time with the children's, and
// this process's CPU time alone.
struct Samples {
  std::vector<double> wall, cpu, ownCpu;
  double medianWall = 0, medianCpu = 0, medianOwnCpu = 0;  // from the library's median aggregate
  bool withChildren = false;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const auto n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string formatSeconds(double seconds) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1);
  if (seconds >= 1e-3)
    out << seconds * 1e3 << " ms";
  else
    out << seconds * 1e6 << " us";
  return out.str();
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred)
        continue;
      const bool iteration = run.run_type == Run::RT_Iteration;
      if (!iteration && run.aggregate_name != "median")
        continue;
      // Grouped by the registered name and arguments, without the run
      // options the library appends ("iterations:10", "real_time").
      benchmark::BenchmarkName key = run.run_name;
      key.min_time = key.min_warmup_time = key.iterations = key.repetitions = key.time_type =
          key.threads = "";
      const std::string name = key.str();
      const auto slash = name.rfind('/');
      if (slash == std::string::npos)
        continue;
      const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
      const double wall = run.GetAdjustedRealTime() / unit;
      const double ownCpu = run.GetAdjustedCPUTime() / unit;
      double cpu = ownCpu;
      const auto children = run.counters.find(korvelin::bench::kChildrenCpuCounter);
      if (children != run.counters.end())
        cpu += children->second.value;
      auto& group = groups_[name.substr(0, slash)];
      const std::string entry = name.substr(slash + 1);
      if (std::none_of(group.begin(), group.end(), [&](auto& e) { return e.first == entry; }))
        group.emplace_back(entry, Samples{});
      auto& samples = std::find_if(group.begin(), group.end(), [&](auto& e) {
                        return e.first == entry;
                      })->second;
      samples.withChildren = samples.withChildren || children != run.counters.end();
      if (iteration) {
        samples.wall.push_back(wall);
        samples.cpu.push_back(cpu);
        samples.ownCpu.push_back(ownCpu);
      } else {
        samples.medianWall = wall;
        samples.medianCpu = cpu;
        samples.medianOwnCpu = ownCpu;
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (auto& [group, entries] : groups_) {
      for (auto& [name, s] : entries)
        if (!s.wall.empty())
          s.medianWall = median(s.wall), s.medianCpu = median(s.cpu),
          s.medianOwnCpu = median(s.ownCpu);
      const auto baseline = std::find_if(entries.begin(), entries.end(),
                                         [](auto& e) { return e.first.rfind("baseline", 0) == 0; });
      if (baseline == entries.end() || baseline->second.medianWall <= 0)
        continue;
      const Samples& base = baseline->second;
      std::cout << "ratio " << group << " (to " << baseline->first << ": wall "
                << formatSeconds(base.medianWall) << ", cpu " << formatSeconds(base.medianCpu)
                << ")\n";
      for (const auto& [name, s] : entries) {
        if (name == baseline->first)
          continue;
        std::cout << "  " << std::left << std::setw(40) << name << std::right << std::fixed
                  << std::setprecision(2) << "wall " << std::setw(7)
                  << s.medianWall / base.medianWall << "x   cpu " << std::setw(7);
        if (base.medianCpu > 0)
          std::cout << s.medianCpu / base.medianCpu << "x";
        else
          std::cout << "-";
        std::cout << "   (" << formatSeconds(s.medianWall) << " / " << formatSeconds(s.medianCpu);
        // Where children are counted, this process's share on its own too.
        if (s.withChildren && base.withChildren && base.medianOwnCpu > 0)
          std::cout << "; this process alone " << formatSeconds(s.medianOwnCpu) << ", "
                    << std::setprecision(2) << s.medianOwnCpu / base.medianOwnCpu << "x";
        std::cout << ")\n";
      }
    }
  }

 private:
  std::map<std::string, std::vector<std::pair<std::string, Samples>>> groups_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
