// main() of the effect benchmarks; each program defines registerBenchmarks(). With --table the
// results come as one compact table (case, mode or model, block, ns per frame, share of one
// core, real-time factor, and the counters of the silence and loading cases) instead of Google
// Benchmark's console listing; every other flag is Google Benchmark's own. The table's "x bound"
// is a model's time over its multiply-add bound, "MB/inst" the memory each further instance adds
// and "MB shared" what the first instance of a process adds besides (read-only resources that
// every instance shares).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& name, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = name.find(separator, start)) != std::string::npos; start = end + 1)
        parts.push_back(name.substr(start, end - start));
    parts.push_back(name.substr(start));
    return parts;
}

// "12.3" or blank when the run has no such counter.
std::string counterText(const benchmark::BenchmarkReporter::Run& run, const char* name, const char* format) {
    const auto it = run.counters.find(name);
    if (it == run.counters.end()) return "";
    char text[32];
    std::snprintf(text, sizeof text, format, static_cast<double>(it->second.value));
    return text;
}

class TableReporter : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context& context) override {
        std::printf("%s: %d cores at %.0f MHz\n", Context::executable_name, context.cpu_info.num_cpus,
                    context.cpu_info.cycles_per_second / 1e6);
        std::printf("%-18s %-18s %6s %11s %9s %11s %10s %9s %8s %8s %10s\n", "case", "mode/model", "block",
                    "ns/frame", "% core", "realtime x", "vs signal", "ms/load", "x bound", "MB/inst", "MB shared");
        return true;
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                std::printf("%-38s error: %s\n", run.benchmark_name().c_str(), run.error_message.c_str());
                continue;
            }
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const auto parts = split(run.run_name.function_name, '/');
            const std::string group = parts.empty() ? "" : parts[0];
            const std::string subject = parts.size() > 1 ? parts[1] : "";
            const std::string block = run.run_name.args.empty() ? "" : split(run.run_name.args, ':').back();
            std::printf("%-18s %-18s %6s %11s %9s %11s %10s %9s %8s %8s %10s\n", group.c_str(), subject.c_str(),
                        block.c_str(), counterText(run, "ns_per_frame", "%.1f").c_str(),
                        counterText(run, "pct_core", "%.3f").c_str(), counterText(run, "realtime_x", "%.0f").c_str(),
                        counterText(run, "silence_vs_signal", "%.2f").c_str(),
                        counterText(run, "ms_per_load", "%.2f").c_str(), counterText(run, "x_bound", "%.2f").c_str(),
                        counterText(run, "mb_per_instance", "%.2f").c_str(),
                        counterText(run, "mb_shared", "%.2f").c_str());
            std::fflush(stdout);
        }
    }
};

}  // namespace

// Registers the program's benchmarks; defined by each program.
void registerBenchmarks();

int main(int argc, char** argv) {
    bool table = false;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--table") == 0) table = true;
        else args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    registerBenchmarks();
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    if (table) {
        TableReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    return 0;
}
