// A benchmark main() that, after the usual report, prints named ratios of one benchmark's time per
// iteration to another's, each against its goal.
#ifndef TRHSM_BENCH_RATIO_REPORT_H_
#define TRHSM_BENCH_RATIO_REPORT_H_

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace trhsm_bench {

struct Ratio {
  std::string subject;   // benchmark name
  std::string baseline;  // benchmark name
  double goal;           // the subject should take at most goal times the baseline
};

// Passes every run to the console and keeps its CPU time per iteration, by benchmark name. With
// repetitions, the median is kept.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name =
          run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
      if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !medians_.count(name)) {
        times_[name] = run.GetAdjustedCPUTime();
      } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        times_[name] = run.GetAdjustedCPUTime();
        medians_[name] = true;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::map<std::string, double>& times() const { return times_; }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, bool> medians_;
};

// Runs the registered benchmarks and prints each ratio; returns 0.
inline int RunWithRatios(int argc, char** argv, const std::vector<Ratio>& ratios) {
  benchmark::Initialize(&argc, argv);
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  for (const Ratio& r : ratios) {
    auto s = reporter.times().find(r.subject);
    auto b = reporter.times().find(r.baseline);
    if (s == reporter.times().end() || b == reporter.times().end() || b->second <= 0) continue;
    double ratio = s->second / b->second;
    std::printf("ratio %s / %s = %.2f (goal <= %.2f): %s\n", r.subject.c_str(), r.baseline.c_str(),
                ratio, r.goal, ratio <= r.goal ? "met" : "MISSED");
  }
  benchmark::Shutdown();
  return 0;
}

}  // namespace trhsm_bench

#endif  // TRHSM_BENCH_RATIO_REPORT_H_
