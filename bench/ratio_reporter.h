// The console report of a benchmark program, remembering each benchmark's
// processor time per iteration (less disturbed than wall time by other work
// on the machine). With repetitions the fastest run stands for the
// benchmark: other work on the machine only ever adds time.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
   public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type == Run::RT_Aggregate) {
                continue;
            }
            double seconds =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            auto known = seconds_.find(run.run_name.function_name);
            if (known == seconds_.end() || seconds < known->second) {
                seconds_[run.run_name.function_name] = seconds;
            }
        }
    }
    // The time of ours over theirs, or 0 when either did not run.
    double ratio(const char* ours, const char* theirs) const {
        auto a = seconds_.find(ours);
        auto b = seconds_.find(theirs);
        if (a == seconds_.end() || b == seconds_.end() || b->second <= 0) {
            return 0;
        }
        return a->second / b->second;
    }

   private:
    std::map<std::string, double> seconds_;
};
