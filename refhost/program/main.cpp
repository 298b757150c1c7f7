// animator_host: a small host that loads the animator plug-in with dlopen, opens the sample character
// model, places a few characters and steps model time, printing what it sees.
//
//   animator_host --data <repo>/data [--plugin <path/to/libanimator.so>] [--seconds N]
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "animator/plugin/Inspection.h"
#include "host/Graphics.h"
#include "host/ImGuiReg.h"
#include "host/Log.h"
#include "host/LuaConfig.h"
#include "host/Render.h"
#include "host/Vfs.h"
#include "refhost/CpuBackend.h"

#ifndef ANIMATOR_PLUGIN_DIR
#define ANIMATOR_PLUGIN_DIR "."
#endif

namespace {

struct Options {
    std::string data = "data";
    std::string plugin = std::string(ANIMATOR_PLUGIN_DIR) + "/libanimator.so";
    std::string model = "biped";
    double seconds = 3.0;
    int characters = 3;
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
        else if (a == "--characters" && next(v)) o.characters = std::atoi(v.c_str());
        else {
            std::fprintf(stderr, "usage: %s [--data DIR] [--plugin LIB] [--model NAME] [--seconds S] [--characters N]\n",
                         argv[0]);
            return false;
        }
    }
    return true;
}

// options.graphics.AnimationsPaths = { "<data>/animations" }; animator.statistics_enabled = false
void write_host_config(const std::string& data) {
    lua_State* L = globalConfig;
    lua_newtable(L);                   // options
    lua_newtable(L);                   // options.graphics
    lua_newtable(L);                   // AnimationsPaths
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

const char* kind_name(unsigned kind) {
    switch (kind) {
        case 0x0FFFFFF1u: return "clip";
        case 0x0FFFFFF2u: return "1D";
        case 0x0FFFFFF3u: return "2D";
        default: return "empty";
    }
}

std::string join(const std::vector<std::string>& items, size_t max_items) {
    std::string s;
    for (size_t i = 0; i < items.size() && i < max_items; ++i) s += (i ? ", " : "") + items[i];
    if (items.size() > max_items) s += ", ...";
    return s.empty() ? "(none)" : s;
}

// Stands in for the host's scene object of one placed character.
class Instance : public Graphics::ModelInstance {
public:
    explicit Instance(std::unique_ptr<model::ModelCookie> c) : cookie(std::move(c)) {}
    model::ModelCookie* getCookie() const override { return cookie.get(); }
    osg::Matrixf getMatrix() const override { return osg::Matrixf(); }
    std::unique_ptr<model::ModelCookie> cookie;
};

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
    render::set_backend(std::make_shared<render::CpuBackend>());
    ornvfs::set_default_tag("Animator");

    void* lib = dlopen(opt.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "can not load %s: %s\n", opt.plugin.c_str(), dlerror());
        return 1;
    }
    using EntryPoint = void (*)();
    auto init = reinterpret_cast<EntryPoint>(dlsym(lib, "init_graphics_plugin"));
    auto deinit = reinterpret_cast<EntryPoint>(dlsym(lib, "deinit_graphics_plugin"));
    auto describe_model =
        reinterpret_cast<bool (*)(Graphics::Model*, Animator::ModelDescription*)>(dlsym(lib, "animator_describe_model"));
    auto describe_cookie = reinterpret_cast<bool (*)(model::ModelCookie*, float, Animator::CookieDescription*)>(
        dlsym(lib, "animator_describe_cookie"));
    if (!init || !deinit) {
        std::fprintf(stderr, "%s lacks the plug-in entry points\n", opt.plugin.c_str());
        dlclose(lib);
        return 1;
    }
    std::printf("plug-in: %s\n", opt.plugin.c_str());
    init();

    int rc = 0;
    {
        orn::ref_ptr<Graphics::Model> model = Graphics::Models::inst().find(opt.model.c_str());
        Animator::ModelDescription d;
        if (!model) {
            std::printf("model '%s': not found\n", opt.model.c_str());
        } else if (!describe_model || !describe_model(model.get(), &d)) {
            std::printf("model '%s': not a character model\n", opt.model.c_str());
        } else {
            std::printf("model %s (%s)\n", d.name.c_str(), d.path.c_str());
            std::printf("  skeleton '%s': %s, %d nodes\n", d.skeleton_type.c_str(),
                        d.has_library ? "library loaded" : "no library", d.num_nodes);
            std::printf("  clips (%zu):\n", d.clips.size());
            for (size_t i = 0; i < d.clips.size() && i < 12; ++i)
                std::printf("    %-20s %6.3f s\n", d.clips[i].name.c_str(), d.clips[i].duration);
            if (d.clips.size() > 12) std::printf("    ... %zu more\n", d.clips.size() - 12);
            std::printf("  blend spaces: %s\n", join(d.blend_spaces, 8).c_str());
            std::printf("  graph states: %s\n", join(d.graph_states, 8).c_str());
            std::printf("  connectors: %s\n", join(d.connectors, 8).c_str());
            std::string lods;
            for (float l : d.lod_distances) lods += (lods.empty() ? "" : ", ") + std::to_string(l);
            std::printf("  lods: %s; idle entries: %d; load state: %d\n", lods.c_str(), d.idle_entries, d.load_state);
            std::printf("  bounds: (%.3f %.3f %.3f) - (%.3f %.3f %.3f), radius %.3f\n", d.bounds_min.x(),
                        d.bounds_min.y(), d.bounds_min.z(), d.bounds_max.x(), d.bounds_max.y(), d.bounds_max.z(),
                        d.radius);

            std::vector<std::unique_ptr<Instance>> instances;
            for (int i = 0; i < opt.characters; ++i) {
                auto cookie = model->createCookie();
                if (cookie) instances.push_back(std::make_unique<Instance>(std::move(cookie)));
            }
            std::printf("placed %zu characters\n", instances.size());
            Graphics::ModelConnector* connector = model->getNumConnectors() > 0 ? model->GetConnector(0) : nullptr;

            const double step = 0.5;
            for (double t = 0.0; t <= opt.seconds + 1e-9; t += step) {
                wTime::SetModelTime(t);
                Graphics::raiseRendererEvent(8);
                if (std::fmod(t, 1.0) > 1e-9) continue;  // print once a second
                std::printf("t=%.1f\n", t);
                for (const auto& inst : instances) {
                    Animator::CookieDescription c;
                    if (!describe_cookie || !describe_cookie(inst->cookie.get(), static_cast<float>(t), &c)) continue;
                    std::printf("  #%d %-5s clip %-12s start %6.2f stack %2d root (%.3f %.3f %.3f)", c.id,
                                kind_name(c.kind), c.clip_name.empty() ? std::to_string(c.clip).c_str() : c.clip_name.c_str(),
                                c.start_time, c.stack_size, c.root_position.x(), c.root_position.y(),
                                c.root_position.z());
                    if (connector) {
                        const osg::Vec3f p = connector->getWorldPosition(inst.get()).position();
                        std::printf(" %s (%.3f %.3f %.3f)", connector->name(), p.x(), p.y(), p.z());
                    }
                    std::printf("\n");
                }
            }
            ImGui::orn::run_frame();
            instances.clear();
        }
        model = orn::ref_ptr<Graphics::Model>();
    }
    Graphics::raiseRendererEvent(1);
    deinit();
    dlclose(lib);
    orn::remove_log_sink(sink);
    std::printf("%zu errors logged\n", errors.size());
    for (size_t i = 0; i < errors.size() && i < 5; ++i) std::printf("  %s\n", errors[i].c_str());
    std::printf("done\n");
    return rc;
}
