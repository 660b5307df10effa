// Core benchmarks: our reader against simdjson's DOM parse (the practical
// ceiling for reading JSON), the diff/apply road on the same tree pair, and the
// MessagePack frame roads on the old tree.
// Usage: bench_core <old.json> <new.json> [google-benchmark flags]
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "json/json.hpp"
#include "arena.hpp"
#include "operations.hpp"

namespace {

std::string g_old;
std::string g_new;

std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void BM_JsonValue(benchmark::State& state) {
    for (auto _ : state) {
        const vorlan::ArenaScope arena;  // as an operation would read it
        vorlan::json::Reader r(g_old);
        vorlan::json::JsonValue v;
        if (!r.parse_value(v)) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_old.size()));
}

void BM_SimdjsonDom(benchmark::State& state) {
    simdjson::dom::parser parser;
    simdjson::padded_string text(g_old);
    for (auto _ : state) {
        simdjson::dom::element doc;
        if (parser.parse(text).get(doc)) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_old.size()));
}

void BM_SimdjsonDomBoth(benchmark::State& state) {
    simdjson::dom::parser parser;
    // Padding is part of simdjson's input contract, so copying counts against it.
    for (auto _ : state) {
        simdjson::padded_string a(g_old), b(g_new);
        simdjson::dom::element doc;
        if (parser.parse(a).get(doc)) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(doc);
        if (parser.parse(b).get(doc)) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (g_old.size() + g_new.size())));
}

void BM_Diff(benchmark::State& state) {
    for (auto _ : state) {
        auto patch = vorlan::diff_json(g_old, g_new);
        if (!patch.ok()) state.SkipWithError(patch.error().c_str());
        benchmark::DoNotOptimize(patch);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (g_old.size() + g_new.size())));
}

void BM_Apply(benchmark::State& state) {
    auto patch = vorlan::diff_json(g_old, g_new);
    if (!patch.ok()) {
        state.SkipWithError(patch.error().c_str());
        return;
    }
    for (auto _ : state) {
        auto tree = vorlan::apply_json(g_old, patch.value());
        if (!tree.ok()) state.SkipWithError(tree.error().c_str());
        benchmark::DoNotOptimize(tree);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (g_old.size() + patch.value().size())));
}

void BM_EncodeFrameMsgpack(benchmark::State& state) {
    for (auto _ : state) {
        auto frame = vorlan::patch::encode_frame(g_old, "Model", "snapshot", 1, "application/msgpack");
        if (!frame.ok()) state.SkipWithError(frame.error().c_str());
        benchmark::DoNotOptimize(frame);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_old.size()));
}

void BM_DecodeFrameMsgpack(benchmark::State& state) {
    auto frame = vorlan::patch::encode_frame(g_old, "Model", "snapshot", 1, "application/msgpack");
    if (!frame.ok()) {
        state.SkipWithError(frame.error().c_str());
        return;
    }
    for (auto _ : state) {
        auto text = vorlan::wire::decode_frame(frame.value());
        if (!text.ok()) state.SkipWithError(text.error().c_str());
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * frame.value().size()));
}

BENCHMARK(BM_JsonValue)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimdjsonDom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SimdjsonDomBoth)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Diff)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Apply)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeFrameMsgpack)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeFrameMsgpack)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: bench_core <old.json> <new.json> [benchmark flags]\n";
        return 2;
    }
    g_old = slurp(argv[1]);
    g_new = slurp(argv[2]);
    argv[2] = argv[0];
    argc -= 2;
    argv += 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
