// The benchmark runner: Google Benchmark's flags, plus `--brisklink_smoke`,
// which runs every benchmark for a few iterations only. The exit status is 1
// when any benchmark reported an error, so a smoke run under ctest notices a
// broken benchmark; no timing is judged.
#include "bench_common.h"

#include <cstring>
#include <vector>

namespace {

class ErrorCountingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                m_Errors++;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    int m_Errors = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args;
    bool smoke = false;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--brisklink_smoke") == 0) {
            smoke = true;
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = (int)args.size();
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 2;
    }
    const int64_t scale = smoke ? 100 : 1;
    bench::RegisterDataPath(scale);
    bench::RegisterPorts(scale);
    ErrorCountingReporter reporter;
    size_t ran = benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (ran == 0) {
        fprintf(stderr, "no benchmark matched the filter\n");
        return 1;
    }
    return reporter.m_Errors != 0 ? 1 : 0;
}
