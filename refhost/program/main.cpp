// animator_host: a small host that loads the animator plug-in, opens the sample character model and
// draws a crowd of its characters: most walk straight routes, some stay on their idle timelines, one
// waves under its override; every other character wears the second livery; levels of detail follow
// the distance from the camera, and the characters cast shadows (a shadow map from the sun) on the
// ground and on each other, flat shadows beyond the shadow map's reach. Walkers follow
// rectangular routes smoothed by a CharacterController, at the distance their walk has covered. Each frame runs
// the reference host's frame (shadow, flat-shadow and main passes, end-of-frame event).
//
//   animator_host --data <repo>/data [--plugin <path/to/libanimator.so>] [--count N] [--frames F]
//                 [--out DIR] [--size WxH] [--backend auto|gl|cpu] [--shaders DIR] [--editor]
//
// --editor opens the clip stack editor ("Blender2") on one idling character at the front, lays clips
// on its timeline with the mouse, and plays the timeline over the frames: each frame shows the editor
// and the plug-in's statistics window over the scene (1280x720 unless --size says otherwise).
//
// The renderer back-end: "gl" (OpenGL 4.5 on a headless EGL context, running the shaders of
// refhost/shaders), "cpu" (the recording back-end, which evaluates the animation compute passes in
// C++ and draws nothing), or "auto", the default: GL when a context can be made, otherwise the CPU
// back-end with a message saying why. On GL the frames are written as numbered PNG files with a
// contact sheet into the output folder, which the program names when it ends.
//
// The program links the plug-in (its simulation code calls the exported classes directly) and still
// opens it with dlopen to run the entry points, as a host does; dlopen answers the linked instance.
#include <dlfcn.h>

#include <stb/stb_image_write.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
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
#include "animator/motion/CharacterController.h"
#include "animator/plugin/Plugin.h"
#include "animator/util/Clock.h"
#include "host/Graphics.h"
#include "host/ImGuiReg.h"
#include "host/Log.h"
#include "host/LuaConfig.h"
#include "host/Render.h"
#include "host/Vfs.h"
#include "refhost/CpuBackend.h"
#include "refhost/Frame.h"
#include "refhost/LiveryManager.h"
#include "refhost/gl/GlBackend.h"
#include "refhost/program/ClipEditorDemo.h"

#ifndef ANIMATOR_PLUGIN_DIR
#define ANIMATOR_PLUGIN_DIR "."
#endif
#ifndef ANIMATOR_SHADER_DIR
#define ANIMATOR_SHADER_DIR "refhost/shaders"
#endif

namespace {

constexpr double kFrameStep = 0.8;  // model time between frames
constexpr unsigned kSecondLivery = 1;
constexpr int kSheetColumns = 3;
// The editor's character (the front row's idling one), its clips (each starting into the one before) and their fades.
constexpr int kEditorCharacter = 8;
const char* const kEditorClips[] = {"walk_start", "walk_loop_slow", "walk_stop"};
constexpr float kEditorOverlap = 0.5f;
constexpr float kEditorFade = 0.3f;

struct Options {
    std::string data = "data";
    std::string plugin;  // empty: the plug-in this program is linked with, wherever it was installed
    std::string model = "biped";
    int count = 100;
    int frames = 6;
    std::string out = "animator_frames";
    int width = 640;
    int height = 360;
    std::string backend = "auto";
    std::string shaders = ANIMATOR_SHADER_DIR;
    bool editor = false;
    bool sized = false;  // --size given
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
        else if (a == "--count" && next(v) && std::atoi(v.c_str()) > 0) o.count = std::atoi(v.c_str());
        else if (a == "--frames" && next(v) && std::atoi(v.c_str()) > 0) o.frames = std::atoi(v.c_str());
        else if (a == "--out" && next(v)) o.out = v;
        else if (a == "--size" && next(v) && std::sscanf(v.c_str(), "%dx%d", &o.width, &o.height) == 2 &&
                 o.width > 0 && o.height > 0) {
            o.sized = true;
        } else if (a == "--editor") {
            o.editor = true;
        } else if (a == "--backend" && next(v) && (v == "auto" || v == "gl" || v == "cpu")) o.backend = v;
        else if (a == "--shaders" && next(v)) o.shaders = v;
        else {
            std::fprintf(stderr,
                         "usage: %s [--data DIR] [--plugin LIB] [--model NAME] [--count N] [--frames F] [--out DIR] "
                         "[--size WxH] [--backend auto|gl|cpu] [--shaders DIR] [--editor]\n",
                         argv[0]);
            return false;
        }
    }
    if (o.editor && !o.sized) {
        o.width = 1280;
        o.height = 720;
    }
    return true;
}

// options.graphics.AnimationsPaths = { "<data>/animations" }; animator.statistics_enabled = true
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
    lua_pushboolean(L, 1);
    lua_setfield(L, -2, "statistics_enabled");
    lua_setglobal(L, "animator");
}

// The host's scene object of one placed character and what drives it.
class Character : public Graphics::ModelInstance {
public:
    explicit Character(std::unique_ptr<model::ModelCookie> c)
        : cookie(std::move(c)), character(static_cast<Animator::CharacterModelCookie*>(cookie.get())),
          controller(character) {}
    model::ModelCookie* getCookie() const override { return cookie.get(); }
    osg::Matrixf getMatrix() const override { return matrix; }

    std::unique_ptr<model::ModelCookie> cookie;
    Animator::CharacterModelCookie* character;
    Animator::AnimationController controller;
    Animator::CharacterController route;  // the smoothed route a walker follows
    osg::Matrixf matrix;
    osg::Vec3f base_position;
    float heading = 0.0f;  // radians, positive turns left
    bool walks = false;
};

// Model time as the plug-in sees it; the host sets it each frame.
double g_model_time = 0.0;

void describe(Animator::CharacterModelStatic& model, Animator::AnimationManager& manager) {
    std::printf("model %s: skeleton '%s', %d nodes, %d level(s) of detail, %d connector(s)\n", model.name().c_str(),
                model.get_skeleton_type().c_str(), manager.get_num_nodes(), static_cast<int>(model.get_lods().size()),
                model.getNumConnectors());
    std::string line;
    for (int i = 0; i < manager.get_num_animations(); ++i) {
        std::string name;
        manager.get_animation(i, name);
        line += (i ? ", " : "") + name;
    }
    std::printf("  clips: %s\n", line.c_str());
}

// The renderer back-end the options ask for; the CPU back-end when GL is not asked for or not there.
std::shared_ptr<render::GlBackend> install_backend(const Options& opt) {
    if (ornvfs::mount(opt.shaders.c_str(), "/shaders/", true, "host", true) == ornvfs::invalid_mount)
        std::printf("warning: no shader directory %s\n", opt.shaders.c_str());
    if (opt.backend != "cpu") {
        render::GlBackend::Options size;
        size.width = opt.width;
        size.height = opt.height;
        if (auto gl = render::GlBackend::create(size)) {
            std::printf("renderer: OpenGL, %s\n", gl->renderer().c_str());
            render::set_backend(gl);
            return gl;
        }
        std::printf("renderer: no OpenGL 4.5 context could be made (see the message above); the frames run on "
                    "the CPU back-end and no pictures are written\n");
    } else {
        std::printf("renderer: CPU back-end (no pictures are written)\n");
    }
    render::set_backend(std::make_shared<render::CpuBackend>());
    return nullptr;
}

// Places the crowd: rows of ten, 2.5 m apart, from 4 m in front of the camera outwards.
std::vector<std::unique_ptr<Character>> make_crowd(Animator::CharacterModelStatic& model,
                                                   Animator::AnimationManager& manager, int count) {
    std::vector<std::unique_ptr<Character>> crowd;
    const int wave = manager.get_animation_index("wave");
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<model::ModelCookie> cookie = model.createCookie();
        if (!cookie || cookie->getType() != Animator::CharacterModelCookie::type) {
            std::printf("the model gave no character cookie\n");
            return {};
        }
        auto c = std::make_unique<Character>(std::move(cookie));
        const int row = i / 10, column = i % 10;
        c->base_position = osg::Vec3f((column - 4.5f) * 2.5f, 0.0f, 4.0f + row * 3.0f);
        c->character->set_extern_pos_update(true);  // the host moves them along their routes
        if (i % 2 == 1) c->character->setLiveryHandle(kSecondLivery);
        const float start = 0.1f * static_cast<float>(i % 7);
        if (i == 1 && wave != Animator::INVALID_CLIP) {
            // Waving over its idle clip.
            c->controller.change_animation_state(0.0f, "Idle", true);
            Animator::ShaderBlendSpace2D record = c->character->get_current_blend_space(0.0f);
            record.override_clip = static_cast<float>(wave);
            c->character->push_blend_space(record);
            c->heading = static_cast<float>(-M_PI / 2);
        } else if (i % 4 == 0) {
            c->character->clear_data();
            c->character->set_idle(start);
            c->heading = static_cast<float>(-M_PI / 2 + 0.3 * (column - 4.5) / 4.5);
        } else {
            c->heading = static_cast<float>((i % 3 == 0 ? 0.0 : M_PI) + 0.25 * std::sin(i * 1.7));
            c->controller.change_animation_state(0.0f, "Idle", true);
            c->controller.move(start, c->heading, 1.2f + 0.1f * static_cast<float>(i % 4), c->heading, 200.0f);
            // A rectangular loop from where the character stands, walked forwards along its heading
            // and turning left or right at the corners; the corners become arcs.
            const osg::Vec3f forward(std::cos(c->heading), 0.0f, -std::sin(c->heading));
            const osg::Vec3f side = osg::Vec3f(0.0f, (i % 2) ? 1.0f : -1.0f, 0.0f) ^ forward;
            const osg::Vec3f p0 = c->base_position;
            c->route.set_route({p0, p0 + forward * 4.0f, p0 + forward * 4.0f + side * 4.0f, p0 + side * 4.0f, p0,
                                p0 + forward * 4.0f},
                               wPosition3<float>(), nullptr);
            c->walks = true;
        }
        crowd.push_back(std::move(c));
    }
    return crowd;
}

// Moves every character to where its route has brought it at time t.
void step_crowd(std::vector<std::unique_ptr<Character>>& crowd, float t) {
    for (auto& c : crowd) {
        if (c->walks) {
            // The distance the walk has covered, placed along the route.
            const float distance = std::get<2>(c->controller.update(t, false));
            c->route.get_trajectory_position(distance, 0.0f, c->matrix);
            continue;
        }
        c->matrix = osg::Matrixf::rotate(c->heading, osg::Vec3f(0.0f, -1.0f, 0.0f)) *
                    osg::Matrixf::translate(c->base_position);
    }
}

// Frames side by side at half size, kSheetColumns to a row.
bool write_contact_sheet(const std::string& path, const std::vector<std::vector<uint8_t>>& frames, int width,
                         int height) {
    if (frames.empty()) return false;
    const int w = width / 2, h = height / 2;
    const int columns = std::min<int>(kSheetColumns, static_cast<int>(frames.size()));
    const int rows = (static_cast<int>(frames.size()) + columns - 1) / columns;
    std::vector<uint8_t> sheet(static_cast<size_t>(w * columns) * h * rows * 4, 255);
    for (size_t f = 0; f < frames.size(); ++f) {
        const int ox = static_cast<int>(f % columns) * w, oy = static_cast<int>(f / columns) * h;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int k = 0; k < 4; ++k) {
                    int sum = 0;
                    for (int dy = 0; dy < 2; ++dy)
                        for (int dx = 0; dx < 2; ++dx)
                            sum += frames[f][(static_cast<size_t>(2 * y + dy) * width + 2 * x + dx) * 4 + k];
                    sheet[(static_cast<size_t>(oy + y) * w * columns + ox + x) * 4 + k] = static_cast<uint8_t>(sum / 4);
                }
    }
    return stbi_write_png(path.c_str(), w * columns, h * rows, 4, sheet.data(), w * columns * 4) != 0;
}

void print_statistics(const Animator::CharacterModelStatic& model) {
    const Animator::CharacterRenderState& s = model.get_render_state();
    std::printf("statistics of the last frame: total parsed %d, main: %d, flat shadows: %d; render objects "
                "processed %d, skipped %d, instances rendered %d\n",
                s.parsed, s.main_instances, s.flat_shadow_instances, s.processed_objects, s.skipped_objects,
                s.rendered_instances);
    for (const auto& entry : s.batches) {
        const Animator::AnimatorBatch& b = entry.second;
        std::printf("  batch %s: instances %d, triangles %lld, lods", b.name.c_str(), b.total_instances,
                    static_cast<long long>(b.total_triangles));
        for (int l = 0; l < static_cast<int>(model.get_lods().size()) && l < Animator::AnimatorBatch::max_lods; ++l)
            std::printf(" %d:%d", l, b.lod_counts[l]);
        std::printf("\n");
    }
}

// False when the model can not animate characters.
bool run_scene(Animator::CharacterModelStatic& model, const Options& opt,
               const std::shared_ptr<render::GlBackend>& gl) {
    Animator::AnimationManager* manager = model.get_animation_manager();
    if (!manager || !manager->get_graph()) {
        std::printf("model %s has no animation library or state graph\n", model.name().c_str());
        return false;
    }
    describe(model, *manager);
    refhost::LiveryManager::reference().add_livery(
        kSecondLivery, {{0, "/models/biped/biped_diffuse_red.png", "/models/biped/biped_diffuse_red.png"}});

    std::vector<std::unique_ptr<Character>> crowd = make_crowd(model, *manager, opt.count);
    if (crowd.empty()) return false;
    std::printf("%d characters: walking, idling on their timelines, #2 waving; odd ones in the second livery\n",
                opt.count);

    const double aspect = static_cast<double>(opt.width) / opt.height;
    const Graphics::Camera camera =
        refhost::Frame::look_at(osg::Vec3d(-4.0, 4.5, -3.0), osg::Vec3d(0.0, 0.5, 16.0), 50.0, aspect, 0.5, 400.0);

    std::string out_dir;
    if (gl) {
        std::error_code ec;
        std::filesystem::create_directories(opt.out, ec);
        out_dir = std::filesystem::absolute(opt.out, ec).string();
    }
    std::unique_ptr<ClipEditorDemo> editor;
    if (opt.editor) {
        // An idling one (every fourth stands on its timeline), at the front when the crowd is big enough.
        const int picked = std::min(kEditorCharacter, (static_cast<int>(crowd.size()) - 1) / 4 * 4);
        const Character& c = *crowd[static_cast<size_t>(picked)];
        editor = std::make_unique<ClipEditorDemo>(c.character, &g_model_time, opt.width, opt.height);
        if (!editor->lay_clips(std::vector<std::string>(std::begin(kEditorClips), std::end(kEditorClips)),
                               kEditorOverlap, kEditorFade))
            return false;
        std::printf("editor: %zu clips on a timeline of %.2f s:", editor->editor().get_clips().size(),
                    editor->editor().get_timeline_length());
        for (const auto& clip : editor->editor().get_clips())
            std::printf(" %s from %.2f s (fade %.2f-%.2f)", clip.name.c_str(), clip.start, clip.fade_start,
                        clip.fade_end);
        std::printf("\n");
    }
    refhost::Frame frame;
    std::vector<std::vector<uint8_t>> pictures;
    double total_ms = 0.0, host_ms = 0.0;
    for (int f = 0; f < opt.frames; ++f) {
        g_model_time = editor ? editor->editor().get_timeline_length() * f / std::max(1, opt.frames - 1)
                              : 1.0 + f * kFrameStep;
        const auto begin = std::chrono::steady_clock::now();
        step_crowd(crowd, static_cast<float>(g_model_time));
        std::vector<refhost::Frame::Item> items;
        for (const auto& c : crowd) items.push_back({&model, c.get()});
        const Graphics::Camera light = refhost::Frame::directional_light(refhost::Frame::SUN, camera, items);
        frame.draw(items, camera, light, g_model_time, refhost::Frame::Options());
        const auto submitted = std::chrono::steady_clock::now();
        if (gl) gl->finish();
        const auto end = std::chrono::steady_clock::now();
        const double ms = std::chrono::duration<double, std::milli>(end - begin).count();
        const double cpu_ms = std::chrono::duration<double, std::milli>(submitted - begin).count();
        total_ms += ms;
        host_ms += cpu_ms;
        std::printf("frame %d at t=%.1f: %.1f ms (host side %.1f ms)\n", f, g_model_time, ms, cpu_ms);
        if (gl && editor && !editor->draw(*gl)) std::printf("the GUI of frame %d could not be drawn\n", f);
        if (gl) {
            char name[64];
            std::snprintf(name, sizeof name, "/frame_%03d.png", f);
            if (!gl->write_png(out_dir + name)) std::printf("can not write %s%s\n", out_dir.c_str(), name);
            pictures.push_back(gl->read_colour());
        }
    }
    std::printf("%d frames of %d characters: %.1f ms per frame on average (host side %.1f ms)\n", opt.frames,
                opt.count, total_ms / opt.frames, host_ms / opt.frames);
    print_statistics(model);
    if (gl) {
        const std::string sheet = out_dir + "/contact_sheet.png";
        if (!write_contact_sheet(sheet, pictures, gl->width(), gl->height()))
            std::printf("can not write %s\n", sheet.c_str());
        std::printf("pictures: %s (frame_000.png ... and contact_sheet.png)\n", out_dir.c_str());
    }
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
    const std::shared_ptr<render::GlBackend> gl = install_backend(opt);
    ornvfs::set_default_tag("Animator");

    if (opt.plugin.empty()) {
        // The linked copy, found where the loader found it (a build tree or an installed prefix).
        Dl_info info{};
        opt.plugin = dladdr(reinterpret_cast<void*>(&init_graphics_plugin), &info) && info.dli_fname
                         ? info.dli_fname
                         : std::string(ANIMATOR_PLUGIN_DIR) + "/libanimator.so";
    }
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
            if (!run_scene(*character_model, opt, gl)) rc = 1;
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
