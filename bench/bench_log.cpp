// SPDX-License-Identifier: MIT
// Cost of one trace record against the bare file pattern every record performs.
#include "cLog.h"
#include "cLog_internal.h"

#include <benchmark/benchmark.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string g_dir;         // temporary directory of this run
std::string g_barePath;    // the file of the bare pattern
size_t g_recordBytes = 0;  // bytes one trace record adds to the log
constexpr char kFormat[] = "**br_locate: line is good: '%s' at %x";
constexpr char kArgument[] = "7f3a1c000000-7f3a1c021000 r-xp 00000000 08:01 131 /usr/lib/pinman";

void BM_TraceRecord(benchmark::State& state) {
    for (auto _ : state) {
        cLogTracef(kFormat, kArgument, 0x1234);
    }
    state.SetItemsProcessed(state.iterations());
}

// What a record must do at the least: read the tail, then append the record's bytes.
void BM_BarePattern(benchmark::State& state) {
    const std::vector<unsigned char> record(g_recordBytes, 'r');
    unsigned char tail[16];
    for (auto _ : state) {
        FILE* in = fopen(g_barePath.c_str(), "rb");
        fseek(in, 0, SEEK_END);
        const long n = ftell(in);
        const long s = n % 8;
        fseek(in, n - s - 8, SEEK_SET);
        benchmark::DoNotOptimize(fread(tail, 1, static_cast<size_t>(s + 8), in));
        fclose(in);
        FILE* out = fopen(g_barePath.c_str(), "ab");
        fwrite(record.data(), 1, record.size(), out);
        fclose(out);
    }
    state.SetItemsProcessed(state.iterations());
}

// The console report, plus the medians of both benchmarks and their ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& report) override {
        ConsoleReporter::ReportRuns(report);
        for (const Run& run : report) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians_[run.run_name.function_name] = {run.GetAdjustedRealTime(),
                                                        run.GetAdjustedCPUTime()};
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto trace = medians_.find("BM_TraceRecord");
        const auto bare = medians_.find("BM_BarePattern");
        if (trace == medians_.end() || bare == medians_.end() || bare->second.real <= 0 ||
            bare->second.cpu <= 0) {
            return;
        }
        const Times& t = trace->second;
        const Times& b = bare->second;
        printf("record size %zu bytes; medians of the repetitions\n", g_recordBytes);
        printf("trace record: %.0f ns real (%.0f records/s), %.0f ns cpu\n", t.real, 1e9 / t.real,
               t.cpu);
        printf("bare pattern: %.0f ns real (%.0f records/s), %.0f ns cpu\n", b.real, 1e9 / b.real,
               b.cpu);
        printf("ratio trace/bare: %.3f real, %.3f cpu (bar: 1.10)\n", t.real / b.real,
               t.cpu / b.cpu);
    }

private:
    struct Times {
        double real;
        double cpu;
    };
    std::map<std::string, Times> medians_;
};

}  // namespace

BENCHMARK(BM_TraceRecord)->Repetitions(15)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_BarePattern)->Repetitions(15)->ReportAggregatesOnly(true)->UseRealTime();

int main(int argc, char** argv) {
    // Repetitions of the two benchmarks alternate, so that load from other processes falls
    // on both alike; the same flag on the command line still overrides this.
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> args{argv[0], interleave.data()};
    args.insert(args.end(), argv + 1, argv + argc);
    int argCount = static_cast<int>(args.size());
    benchmark::Initialize(&argCount, args.data());
    std::string tmpl = (fs::temp_directory_path() / "bench_log.XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) {
        perror("bench_log: mkdtemp");
        return 1;
    }
    g_dir = tmpl;
    cLog_restart_for_test(g_dir.c_str());
    if (cCanLog() != 1) {
        fprintf(stderr, "bench_log: cannot log into %s\n", g_dir.c_str());
        fs::remove_all(g_dir);
        return 1;
    }
    const auto before = fs::file_size(cLog_filename());
    cLogTracef(kFormat, kArgument, 0x1234);
    g_recordBytes = static_cast<size_t>(fs::file_size(cLog_filename()) - before);

    // Beside the log, with a name of the same length, so that path look-ups cost the same.
    g_barePath = cLog_filename();
    g_barePath.replace(g_barePath.rfind("zorvex"), 6, "barepn");
    FILE* seed = fopen(g_barePath.c_str(), "wb");
    if (seed == nullptr) {
        perror("bench_log: bare file");
        fs::remove_all(g_dir);
        return 1;
    }
    for (size_t i = 0; i < before; ++i) {
        fputc('h', seed);
    }
    fclose(seed);

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    fs::remove_all(g_dir);
    return 0;
}
