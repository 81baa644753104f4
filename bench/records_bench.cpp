// The station's records, on the disk of $TMPDIR (default /var/tmp: a real
// disk, not tmpfs): the time from results finishing (one alone, or sixteen
// together) to their commit with its sync and their synced JSON lines, and
// what taking one in costs the engine's event delivery.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

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

// "<prefix><n>", built piece by piece (GCC 12's release build takes a
// literal plus a temporary for an overlapping copy, a known false warning).
std::string numbered(const char *prefix, int n)
{
    std::string out = prefix;
    out += std::to_string(n);
    return out;
}

// The events of one batch of `gateways` gateways, up to their runs' start.
std::vector<station::Event> started(int gateways)
{
    std::vector<station::Event> out;
    station::Event e;
    e.station = "bench";
    e.batchId = "bench-1";
    e.unixMs = 1797062400000;
    e.kind = station::EventKind::kBatchStarted;
    out.push_back(e);
    for (int g = 0; g < gateways; ++g) {
        e.kind = station::EventKind::kRunStarted;
        e.runId = numbered("bench-1-", g);
        e.gateway.slot = g;
        e.gateway.host = numbered("10.213.0.", g + 2);
        e.gateway.model = "GWM0202";
        e.gateway.mac = numbered("02:47:57:02:02:", 10 + g);
        out.push_back(e);
    }
    return out;
}

// `gateways` results that finish together (a gang's, with 16 gateways at
// once), from the first event to all of them committed: the engine's part
// (taking them in) and the writer's (one group commit and the synced lines).
void recordsFinishingTogether(benchmark::State &state)
{
    const int gateways = static_cast<int>(state.range(0));
    const std::string dir = scratch();
    std::string error;
    auto sink = station::openRecords(dir, error);
    if (!sink) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<station::Event> events = started(gateways);
    for (const station::Event &e : events) {
        sink->onEvent(e);
    }
    sink->flush();
    for (station::Event &e : events) {
        e.kind = station::EventKind::kTestFinished;
        e.code = 0x0701;
        e.name = "led-power";
        e.durationMs = 2100;
        e.gang = "bench-1-g1";
        e.answer = station::OperatorAnswer{"yes", 1500};
    }
    events.erase(events.begin()); // the batch's start
    int attempt = 0;
    for (auto _ : state) {
        ++attempt;
        for (station::Event &e : events) {
            e.attempt = attempt;
            e.unixMs += 12;
            sink->onEvent(e);
        }
        sink->flush();
    }
    sink.reset();
    state.SetItemsProcessed(state.iterations() * gateways);
    std::system(("rm -rf '" + dir + "'").c_str());
}
BENCHMARK(recordsFinishingTogether)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// What the engine's event delivery pays for one finished test: taking it in
// (the write is the records' own thread's).
void recordsTakeInOneResult(benchmark::State &state)
{
    const std::string dir = scratch();
    std::string error;
    auto sink = station::openRecords(dir, error);
    if (!sink) {
        state.SkipWithError(error.c_str());
        return;
    }
    std::vector<station::Event> events = started(1);
    for (const station::Event &e : events) {
        sink->onEvent(e);
    }
    station::Event e = events.back();
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
BENCHMARK(recordsTakeInOneResult)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(0.5);

} // namespace
