#pragma once

// The one line per figure that scripts/bench collects into its table:
//   BENCH <name> <value> <unit> <peer> <peer_value> <target>
// <peer> and <peer_value> are "-" when nothing was measured beside the figure. <target> is "<=N" for a
// bound on the value itself (in its unit), "ratio<=R" for a bound on value / peer_value, or "-".

#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace kb::bench {

inline void benchLine(const std::string& name, double value, const std::string& unit, const std::string& peer,
                      double peerValue, const std::string& target) {
    char peerText[64] = "-";
    if (!std::isnan(peerValue))
        std::snprintf(peerText, sizeof peerText, "%.10g", peerValue);
    std::printf("BENCH %s %.10g %s %s %s %s\n", name.c_str(), value, unit.c_str(),
                peer.empty() ? "-" : peer.c_str(), peerText, target.empty() ? "-" : target.c_str());
    std::fflush(stdout);
}

inline constexpr double kNoPeer = NAN;

// The console output as usual, and every run kept so that figures can be set beside each other once all
// benchmarks have run.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    struct Result {
        double time = NAN; // per iteration, in `unit`
        std::string unit;
        std::map<std::string, double> counters;
        bool failed = false;
        std::string error;
    };

    // Plain text: the output goes to files and to scripts/bench as often as to a terminal.
    CollectingReporter() : benchmark::ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        benchmark::ConsoleReporter::ReportRuns(runs);
        std::fflush(stdout);
        for (const Run& r : runs) {
            // Keyed by function and arguments, without the iteration and timing suffixes of the full name.
            std::string key = r.run_name.function_name;
            if (!r.run_name.args.empty())
                key += "/" + r.run_name.args;
            Result& out = results[key];
            out.failed = r.error_occurred;
            out.error = r.error_message;
            out.time = r.GetAdjustedRealTime();
            out.unit = benchmark::GetTimeUnitString(r.time_unit);
            for (const auto& [key, counter] : r.counters)
                out.counters[key] = counter.value;
        }
    }

    // The run's time, or NaN (with a note on standard output) when it failed or did not run.
    double time(const std::string& name) const {
        auto it = results.find(name);
        if (it == results.end() || it->second.failed) {
            std::printf("NOTE %s: %s\n", name.c_str(),
                        it == results.end() ? "did not run" : it->second.error.c_str());
            return NAN;
        }
        return it->second.time;
    }
    double counter(const std::string& name, const std::string& key) const {
        auto it = results.find(name);
        if (it == results.end() || it->second.failed)
            return NAN;
        auto c = it->second.counters.find(key);
        return c == it->second.counters.end() ? NAN : c->second;
    }

    std::map<std::string, Result> results;
};

} // namespace kb::bench
