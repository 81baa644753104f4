// The station's records: the time one finished test costs the engine's
// event delivery (the SQLite commit with its sync, the JSON line with its
// sync), on the disk of $TMPDIR (default /var/tmp: a real disk, not tmpfs).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "records/records.h"

namespace {

std::string scratch()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr ? base : "/var/tmp") + "/gwtest-records-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        return "";
    }
    return tmpl;
}

void recordsPerResult(benchmark::State &state)
{
    const std::string dir = scratch();
    std::string error;
    auto sink = station::openRecords(dir, error);
    if (!sink) {
        state.SkipWithError(error.c_str());
        return;
    }
    station::Event e;
    e.station = "bench";
    e.batchId = "bench-1";
    e.runId = "bench-1-0";
    e.gateway.host = "10.213.0.2";
    e.gateway.model = "GWM0202";
    e.gateway.mac = "02:47:57:02:02:00";
    e.unixMs = 1797062400000;
    e.kind = station::EventKind::kBatchStarted;
    sink->onEvent(e);
    e.kind = station::EventKind::kRunStarted;
    sink->onEvent(e);
    e.kind = station::EventKind::kTestFinished;
    e.code = 0x0103;
    e.name = "ping-host";
    e.durationMs = 12;
    e.decoded = "02:47:57:02:02:00";
    for (auto _ : state) {
        ++e.attempt;
        e.unixMs += 12;
        sink->onEvent(e);
    }
    sink.reset();
    state.SetItemsProcessed(state.iterations());
    std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(recordsPerResult)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace
