// Shortest-path queries of the state graph: a small locomotion graph and a generated graph of 500
// states (entries name clips that the library does not hold; the query never reads them).
#include <memory>
#include <sstream>
#include <string>

#include <benchmark/benchmark.h>

#include "animator/blend/AnimationGraph.h"
#include "animator/library/AnimationManager.h"
#include "host/LuaConfig.h"
#include "tests/support/TestSupport.h"

namespace {

const char* LOCOMOTION = R"(
anim_states = {
  idle = { name = "idle", type = "animation", loop = true },
  idle_look = { name = "idle_look", type = "animation" },
  wave = { name = "wave", type = "animation" },
  walk_start = { name = "walk_start", type = "animation" },
  walk = { name = "walk", type = "1D", loop = true, x_axis = { name = "speed" },
           { x = 1, animation = "walk_loop_slow" }, { x = 2, animation = "walk_loop_fast" } },
  walk_stop = { name = "walk_stop", type = "animation" },
  turn = { name = "turn", type = "2D", x_axis = { name = "turn_angle" }, y_axis = { name = "speed" },
           { x = -1, y = 0, animation = "turn_left" }, { x = 1, y = 0, animation = "turn_right" } },
}
transitions = {
  { source = "idle", target = "idle_look", params = { transition_duration = 0.3 } },
  { source = "idle_look", target = "idle", params = { transition_duration = 0.3 } },
  { source = "idle", target = "wave", params = { transition_duration = 0.2 } },
  { source = "wave", target = "idle", params = { transition_duration = 0.2 } },
  { source = "idle", target = "walk_start", params = { transition_duration = 0.2 } },
  { source = "walk_start", target = "walk", params = { transition_duration = 0.2, loop = true } },
  { source = "walk", target = "walk_stop", params = { transition_duration = 0.2 } },
  { source = "walk_stop", target = "idle", params = { transition_duration = 0.3 } },
  { source = "idle", target = "turn", params = { transition_duration = 0.2 } },
  { source = "turn", target = "idle", params = { transition_duration = 0.2 } },
}
)";

// A ring of `n` states with a chord from every state, so that paths are short but not trivial.
std::string generated_graph(int n) {
    std::ostringstream out;
    out << "anim_states = {\n";
    for (int i = 0; i < n; ++i) out << "  s" << i << " = { name = \"clip_" << i << "\", type = \"animation\" },\n";
    out << "}\ntransitions = {\n";
    for (int i = 0; i < n; ++i) {
        out << "  { source = \"s" << i << "\", target = \"s" << (i + 1) % n
            << "\", params = { transition_duration = 0.2 } },\n";
        out << "  { source = \"s" << i << "\", target = \"s" << (i * 37 + 11) % n << "\" },\n";
    }
    out << "}\n";
    return out.str();
}

// A graph built from descriptor text in a private Lua state, its entries bound to a library.
struct BuiltGraph {
    explicit BuiltGraph(const std::string& text) : manager("bench"), L(ORN_lua_open("bench_graph")) {
        ORN_lua_openlibs(L);
        Lua::Config cfg(L);
        test::LogCapture quiet;  // the clip names are unknown to the library
        if (cfg.load_buffer(text.data(), text.size(), "bench_graph")) cfg.pop();
        graph.init(cfg, &manager);
    }
    ~BuiltGraph() { ORN_lua_close(L); }

    Animator::AnimationManager manager;
    lua_State* L;
    Animator::AnimationGraph graph;
};

void BM_LocomotionGraphPath(benchmark::State& state) {
    static BuiltGraph built(LOCOMOTION);
    for (auto _ : state) {
        auto q = built.graph.get_graph_path("idle_look", "walk_stop");
        benchmark::DoNotOptimize(q);
    }
    state.SetLabel(std::to_string(built.graph.num_states()) + " states");
}
BENCHMARK(BM_LocomotionGraphPath)->Unit(benchmark::kMicrosecond);

void BM_GeneratedGraphPath(benchmark::State& state) {
    static BuiltGraph built(generated_graph(500));
    int i = 0;
    for (auto _ : state) {
        const std::string to = "s" + std::to_string((i++ * 131 + 250) % 500);
        auto q = built.graph.get_graph_path("s0", to);
        benchmark::DoNotOptimize(q);
    }
    state.SetLabel(std::to_string(built.graph.num_states()) + " states");
}
BENCHMARK(BM_GeneratedGraphPath)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
