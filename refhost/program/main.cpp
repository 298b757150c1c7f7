// animator_host: a small host that loads the animator plug-in, opens the sample character model,
// places three characters and drives them through the plug-in's classes while it steps model time:
// one walks a few metres and stops, one turns on the spot, one stays on its idle timeline.
//
//   animator_host --data <repo>/data [--plugin <path/to/libanimator.so>] [--seconds N]
//                 [--backend auto|gl|cpu] [--shaders DIR]
//
// The renderer back-end: "gl" (OpenGL 4.5 on a headless EGL context, running the shaders of
// refhost/shaders), "cpu" (the recording back-end, which evaluates the animation compute passes in
// C++), or "auto", the default: GL when a context can be made, otherwise the CPU back-end with a
// message saying why.
//
// The program links the plug-in (its simulation code calls the exported classes directly) and still
// opens it with dlopen to run the entry points, as a host does; dlopen answers the linked instance.
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/motion/AnimationController.h"
#include "animator/plugin/Plugin.h"
#include "animator/util/Clock.h"
#include "host/Graphics.h"
#include "host/ImGuiReg.h"
#include "host/Log.h"
#include "host/LuaConfig.h"
#include "host/Render.h"
#include "host/Vfs.h"
#include "refhost/CpuBackend.h"
#include "refhost/gl/GlBackend.h"

#ifndef ANIMATOR_PLUGIN_DIR
#define ANIMATOR_PLUGIN_DIR "."
#endif
#ifndef ANIMATOR_SHADER_DIR
#define ANIMATOR_SHADER_DIR "refhost/shaders"
#endif

namespace {

constexpr double kStep = 0.1;        // model time step
constexpr int kStepsPerReport = 5;   // one report every 0.5 s
constexpr float kStartTime = 0.5f;   // when the walk and the turn begin
constexpr const char* kConnector = "biped_hand_R__conn_weapon";

struct Options {
    std::string data = "data";
    std::string plugin = std::string(ANIMATOR_PLUGIN_DIR) + "/libanimator.so";
    std::string model = "biped";
    double seconds = 8.0;
    std::string backend = "auto";
    std::string shaders = ANIMATOR_SHADER_DIR;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--data" && next(v)) o.data = v;
        else if (a == "--plugin" && next(v)) o.plugin = v;
        else if (a == "--model" && next(v)) o.model = v;
        else if (a == "--seconds" && next(v)) o.seconds = std::atof(v.c_str());
        else if (a == "--backend" && next(v) && (v == "auto" || v == "gl" || v == "cpu")) o.backend = v;
        else if (a == "--shaders" && next(v)) o.shaders = v;
        else {
            std::fprintf(stderr,
                         "usage: %s [--data DIR] [--plugin LIB] [--model NAME] [--seconds S] [--backend auto|gl|cpu] "
                         "[--shaders DIR]\n",
                         argv[0]);
            return false;
        }
    }
    return true;
}

// options.graphics.AnimationsPaths = { "<data>/animations" }; animator.statistics_enabled = false
void write_host_config(const std::string& data) {
    lua_State* L = globalConfig;
    lua_newtable(L);  // options
    lua_newtable(L);  // options.graphics
    lua_newtable(L);  // AnimationsPaths
    lua_pushstring(L, (data + "/animations").c_str());
    lua_rawseti(L, -2, 1);
    lua_setfield(L, -2, "AnimationsPaths");
    lua_setfield(L, -2, "graphics");
    lua_setglobal(L, "options");
    lua_newtable(L);
    lua_pushboolean(L, 0);
    lua_setfield(L, -2, "statistics_enabled");
    lua_setglobal(L, "animator");
}

// Heading about the up axis, radians (positive turns left).
float heading_of(const wPosition3<float>& p) { return -std::atan2(p.m[0][2], p.m[0][0]); }

// The host's scene object of one placed character and what drives it.
class Character : public Graphics::ModelInstance {
public:
    Character(const char* role, std::unique_ptr<model::ModelCookie> c)
        : role(role),
          cookie(std::move(c)),
          character(static_cast<Animator::CharacterModelCookie*>(cookie.get())),
          controller(character) {}
    model::ModelCookie* getCookie() const override { return cookie.get(); }
    osg::Matrixf getMatrix() const override { return matrix; }

    const char* role;
    std::unique_ptr<model::ModelCookie> cookie;
    Animator::CharacterModelCookie* character;
    Animator::AnimationController controller;
    osg::Matrixf matrix;
    // Where the host has placed the character: the root motion of a finished walk or turn is added
    // to these once it ends; in between the character stands at base + the motion played so far.
    osg::Vec3f base_position;
    float base_heading = 0.0f;  // radians
    float walked = 0.0f;        // metres of finished walks
    float walking = 0.0f;       // metres of the walk in progress
};

// Model time as the plug-in sees it; the host sets it each step.
double g_model_time = 0.0;

// Skeleton, clips, blend spaces and states of the model's animation library, a few lines.
void describe(Animator::CharacterModelStatic& model, Animator::AnimationManager& manager) {
    std::printf("model %s: skeleton '%s', %d nodes, %d connector(s)\n", model.name().c_str(),
                model.get_skeleton_type().c_str(), manager.get_num_nodes(), model.getNumConnectors());
    std::string line;
    for (int i = 0; i < manager.get_num_animations(); ++i) {
        std::string name;
        manager.get_animation(i, name);
        char buf[96];
        std::snprintf(buf, sizeof buf, "%s%s %.2f", i ? ", " : "", name.c_str(), manager.get_animation_duration(i));
        line += buf;
    }
    std::printf("  clips (s): %s\n", line.c_str());
    line.clear();
    for (int i = 0; i < manager.get_num_blend_spaces(); ++i)
        line += (i ? ", " : "") + manager.get_blend_space(i).get_name();
    std::printf("  blend spaces: %s\n", line.c_str());
    line.clear();
    const Animator::AnimationGraph::Graph& graph = manager.get_graph()->graph();
    for (size_t v = 0; v < manager.get_graph()->num_states(); ++v) line += (v ? ", " : "") + graph[v].key;
    std::printf("  graph states: %s\n", line.c_str());
}

// The renderer back-end the options ask for; the CPU back-end when GL is not asked for or not there.
void install_backend(const Options& opt) {
    if (opt.backend != "cpu") {
        if (ornvfs::mount(opt.shaders.c_str(), "/shaders/", true, "host", true) == ornvfs::invalid_mount)
            std::printf("warning: no shader directory %s\n", opt.shaders.c_str());
        if (auto gl = render::GlBackend::create()) {
            std::printf("renderer: OpenGL, %s\n", gl->renderer().c_str());
            render::set_backend(gl);
            return;
        }
        std::printf("renderer: no OpenGL 4.5 context could be made (see the message above); using the CPU "
                    "back-end\n");
    } else {
        std::printf("renderer: CPU back-end\n");
    }
    render::set_backend(std::make_shared<render::CpuBackend>());
}

// Poses the characters with the library's compute passes on the installed back-end, as a batch of
// the model does, and answers the model-space position of `node` of each (empty when it fails).
std::vector<osg::Vec3f> pose_on_renderer(Animator::CharacterModelStatic& model, Animator::AnimationManager& manager,
                                         const std::vector<int>& ids, float time, int node) {
    using R = render::RenderAPI;
    const auto& data = model.get_per_instance_data();
    const auto& records = model.get_blend_spaces().records;
    const uint32_t n = static_cast<uint32_t>(manager.get_num_nodes());
    auto per_instance = R::createStructuredBuffer(sizeof(Animator::InstanceData), static_cast<uint32_t>(data.size()),
                                                  12, data.data(), data.size() * sizeof(Animator::InstanceData), "HOST");
    auto pool = R::createStructuredBuffer(sizeof(Animator::ShaderBlendSpace2D), static_cast<uint32_t>(records.size()),
                                          12, records.data(), records.size() * sizeof(Animator::ShaderBlendSpace2D),
                                          "HOST");
    auto indices = R::createStructuredBuffer(4, static_cast<uint32_t>(ids.size()), 12, ids.data(), ids.size() * 4, "HOST");
    auto out = R::createStructuredBuffer(64, n * static_cast<uint32_t>(data.size()), 12, nullptr, 0, "HOST");
    if (!per_instance || !pool || !indices || !out || node < 0) return {};
    Animator::AnimationManager::ComputePassParams p;
    p.model_time = time;
    p.instance_count = static_cast<int32_t>(ids.size());
    p.per_instance_data = &per_instance;
    p.per_instance_animations = &pool;
    p.instance_indices = &indices;
    p.model_transforms = &out;
    manager.compute(p);
    std::vector<osg::Vec3f> positions;
    for (int id : ids) {
        osg::Matrixf m;
        if (!out->read(m.ptr(), sizeof m, (static_cast<size_t>(id) * n + node) * sizeof m)) return {};
        positions.push_back(m.getTrans());
    }
    return positions;
}

// False when the model can not animate characters.
bool run_scene(Animator::CharacterModelStatic& model, double seconds) {
    Animator::AnimationManager* manager = model.get_animation_manager();
    if (!manager || !manager->get_graph()) {
        std::printf("model %s has no animation library or state graph\n", model.name().c_str());
        return false;
    }
    describe(model, *manager);

    std::vector<std::unique_ptr<Character>> characters;
    for (const char* role : {"walk", "turn", "idle"}) {
        std::unique_ptr<model::ModelCookie> cookie = model.createCookie();
        if (!cookie || cookie->getType() != Animator::CharacterModelCookie::type) {
            std::printf("the model gave no character cookie\n");
            return false;
        }
        characters.push_back(std::make_unique<Character>(role, std::move(cookie)));
    }
    Character& walker = *characters[0];
    Character& turner = *characters[1];
    Character& idler = *characters[2];
    walker.controller.change_animation_state(0.0f, "Idle", true);
    turner.controller.change_animation_state(0.0f, "Idle", true);
    idler.character->clear_data();
    idler.character->set_idle(0.0f);

    const float walk_end = walker.controller.move(kStartTime, 0.0f, 1.5f, 0.0f, 6.0f);
    walker.controller.route_end_callback = [&walker] {
        walker.base_position += walker.controller.get_start_direction() * walker.walking;
        walker.walked += walker.walking;
        walker.walking = 0.0f;
    };
    const float turn_end = turner.controller.turn(kStartTime, static_cast<float>(M_PI / 2));
    bool turn_done = false;
    const osg::Vec2f idle_window = idler.character->get_timeline_window();
    std::printf("#1 walks 6 m from t=%.1f, stops at t=%.2f; #2 turns 90 deg from t=%.1f, idle at t=%.2f; "
                "#3 idle timeline of %.2f s\n",
                kStartTime, walk_end, kStartTime, turn_end, idle_window.y());

    Graphics::ModelConnector* hand = model.GetConnector(kConnector);
    if (!hand) std::printf("no connector %s\n", kConnector);
    // Just before a walk or a turn ends its last record still holds the whole motion.
    const float before_end = 1e-3f;
    const int steps = static_cast<int>(std::lround(seconds / kStep));
    for (int step = 1; step <= steps; ++step) {
        g_model_time = step * kStep;
        const float t = static_cast<float>(g_model_time);
        Animator::AnimationController& walk = walker.controller;
        if (walk.is_moving() && t >= walk.get_route_end_time())
            walker.walking = std::get<2>(walk.update(walk.get_route_end_time() - before_end, false));
        walk.get_route_flag();  // ends the walk once its time is up (route_end_callback)
        if (!turn_done && t >= turn_end) {
            const wPosition3<float> turned = std::get<0>(turner.controller.update(turn_end - before_end, false));
            turner.base_heading += heading_of(turned);
            turn_done = true;
        }
        Graphics::raiseRendererEvent(8);
        const bool report = step % kStepsPerReport == 0;
        for (size_t i = 0; i < characters.size(); ++i) {
            Character& c = *characters[i];
            const auto [instance, shift, distance, root] = c.controller.update(t, false);
            if (c.controller.is_moving()) c.walking = distance;
            const osg::Vec3f p = c.base_position + c.controller.get_start_direction() * c.walking;
            const float heading = c.base_heading + (&c == &turner && !turn_done ? heading_of(instance) : 0.0f);
            c.matrix = osg::Matrixf::rotate(heading, osg::Vec3f(0.0f, -1.0f, 0.0f)) * osg::Matrixf::translate(p);
            if (!report) continue;
            std::printf("t=%3.1f #%zu %-4s %-18s at (%4.2f %4.2f) heading %4.2f dist %4.2f", t, i + 1, c.role,
                        c.controller.get_current_state_name(t).c_str(), p.x(), p.z(), heading, c.walked + c.walking);
            if (hand && &c == &walker) {
                const osg::Vec3f h = hand->getWorldPosition(&c).position();
                std::printf(" hand (%.2f %.2f %.2f)", h.x(), h.y(), h.z());
            }
            std::printf("\n");
        }
    }
    std::printf("walked %.2f m, turned %.2f rad\n", walker.walked + walker.walking, turner.base_heading);

    // The same characters posed by the compute passes, as the renderer would draw them, beside the
    // library's own evaluation of the same node.
    const int node = manager->get_node_id("biped_hand_R");
    std::vector<int> ids;
    for (const auto& c : characters) ids.push_back(c->character->get_id());
    const float t = static_cast<float>(g_model_time);
    const std::vector<osg::Vec3f> posed = pose_on_renderer(model, *manager, ids, t, node);
    std::vector<osg::Matrixf> library(static_cast<size_t>(manager->get_num_nodes()));
    for (size_t i = 0; i < characters.size() && i < posed.size(); ++i) {
        manager->get_model_transforms(t, characters[i]->character, library.data());
        const osg::Vec3f l = library[static_cast<size_t>(node)].getTrans();
        std::printf("compute pass: #%zu right hand at (%.3f %.3f %.3f), library (%.3f %.3f %.3f)\n", i + 1,
                    posed[i].x(), posed[i].y(), posed[i].z(), l.x(), l.y(), l.z());
    }
    if (posed.empty()) std::printf("compute pass: no result from the renderer\n");
    ImGui::orn::run_frame();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, opt)) return 2;
    orn::set_log_to_stderr(std::getenv("ANIMATOR_HOST_VERBOSE") != nullptr);
    // Errors are kept and the first few shown at the end; progress notes are dropped.
    std::vector<std::string> errors;
    const int sink = orn::add_log_sink([&errors](const char* tag, int severity, const char* text) {
        if (severity <= 8) errors.push_back(std::string("[") + (tag ? tag : "") + "] " + (text ? text : ""));
    });

    write_host_config(opt.data);
    if (ornvfs::mount((opt.data + "/models").c_str(), "/models/", true, "host", true) == ornvfs::invalid_mount)
        std::printf("warning: no model directory %s/models\n", opt.data.c_str());
    install_backend(opt);
    ornvfs::set_default_tag("Animator");

    void* lib = dlopen(opt.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "can not load %s: %s\n", opt.plugin.c_str(), dlerror());
        return 1;
    }
    using EntryPoint = void (*)();
    auto init = reinterpret_cast<EntryPoint>(dlsym(lib, "init_graphics_plugin"));
    auto deinit = reinterpret_cast<EntryPoint>(dlsym(lib, "deinit_graphics_plugin"));
    if (!init || !deinit) {
        std::fprintf(stderr, "%s lacks the plug-in entry points\n", opt.plugin.c_str());
        dlclose(lib);
        return 1;
    }
    if (init != &init_graphics_plugin) {
        // Another copy of the plug-in: its classes are not the ones this program calls.
        std::fprintf(stderr, "%s is not the plug-in this program is linked with\n", opt.plugin.c_str());
        dlclose(lib);
        return 1;
    }
    std::printf("plug-in: %s\n", opt.plugin.c_str());
    init();
    Animator::set_time_callback([] { return g_model_time; });

    int rc = 0;
    {
        orn::ref_ptr<Graphics::Model> model = Graphics::Models::inst().find(opt.model.c_str());
        auto* character_model = dynamic_cast<Animator::CharacterModelStatic*>(model.get());
        if (!model) {
            std::printf("model '%s': not found\n", opt.model.c_str());
            rc = 1;
        } else if (!character_model) {
            std::printf("model '%s': not a character model\n", opt.model.c_str());
            rc = 1;
        } else {
            if (!run_scene(*character_model, opt.seconds)) rc = 1;
        }
    }
    Graphics::raiseRendererEvent(1);
    Animator::set_time_callback(nullptr);
    deinit();
    dlclose(lib);
    orn::remove_log_sink(sink);
    std::printf("%zu errors logged\n", errors.size());
    for (size_t i = 0; i < errors.size() && i < 5; ++i) std::printf("  %s\n", errors[i].c_str());
    std::printf("done\n");
    return rc;
}
