// animator_inspect: loads the animation library of one skeleton type (or a character model) through
// the reference host, as the plug-in does at run time, and prints what it holds, with every message
// the load logged. It exits with 1 when the load logged an error, so it can check data in a pipeline.
//
//   animator_inspect --skeleton TYPE [--dot] ANIMATION_DIR...
//   animator_inspect --model PATH/NAME.chanimgpu [--dot] ANIMATION_DIR...
//
// Each ANIMATION_DIR is mounted under "/animations/" (a directory holding one folder or skeleton file
// per skeleton type). A model's own directory is mounted under "/models/". With --dot the state graph
// is printed once more in Graphviz form. Exit codes: 0 loaded cleanly, 1 errors were logged, 2 usage.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <assimp/scene.h>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/blend/BlendSpace.h"
#include "animator/blend/BlendSpace2D.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"
#include "host/Graphics.h"
#include "host/Log.h"
#include "host/Render.h"
#include "host/Vfs.h"
#include "refhost/CpuBackend.h"

namespace {

constexpr const char* kTag = "inspect";
constexpr float kPi = 3.14159265f;

struct Options {
    std::string skeleton;
    std::string model;  // a real path to a ".chanimgpu" file
    std::vector<std::string> animation_dirs;
    bool dot = false;
};

struct Message {
    std::string tag;
    int severity;
    std::string text;
};

void usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s --skeleton TYPE [--dot] ANIMATION_DIR...\n"
                 "       %s --model PATH/NAME.chanimgpu [--dot] ANIMATION_DIR...\n",
                 program, program);
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--skeleton" || a == "--model") && i + 1 < argc) {
            (a == "--skeleton" ? o.skeleton : o.model) = argv[++i];
        } else if (a == "--dot") {
            o.dot = true;
        } else if (!a.empty() && a[0] != '-') {
            o.animation_dirs.push_back(a);
        } else {
            return false;
        }
    }
    return o.skeleton.empty() != o.model.empty();
}

std::string clip_name(const Animator::AnimationManager& m, int clip) {
    std::string name;
    m.get_animation(clip, name);
    return name.empty() ? "<clip " + std::to_string(clip) + ">" : name;
}

// The skeleton's nodes as a tree, with their ids (nodes outside the id table show "-").
void print_nodes(Animator::AnimationManager& m) {
    std::printf("skeleton: root '%s', %d nodes", m.get_root_node_name(), m.get_num_nodes());
    if (!m.get_skeleton_file_name().empty()) std::printf(", file '%s'", m.get_skeleton_file_name().c_str());
    std::printf("\n");
    const aiScene* skeleton = m.get_skeleton();
    if (!skeleton || !skeleton->mRootNode) return;
    std::function<void(const aiNode*, int)> print = [&](const aiNode* node, int depth) {
        const int id = m.get_node_id(node->mName.C_Str());
        const std::string id_text = id >= 0 ? std::to_string(id) : "-";
        std::printf("  %*s%s [%s]\n", depth * 2, "", node->mName.C_Str(), id_text.c_str());
        for (unsigned i = 0; i < node->mNumChildren; ++i) print(node->mChildren[i], depth + 1);
    };
    print(skeleton->mRootNode, 0);
}

// A value as printed: 0 where it would round to zero (no "-0.000").
float shown(float v, float half_unit) { return std::fabs(v) < half_unit ? 0.0f : v; }

// Heading of a root motion about the up axis (radians from +X, positive towards -Z), in (-pi, pi].
float heading(const osg::Matrixf& m) {
    const osg::Vec3f x = osg::Vec3f(1.0f, 0.0f, 0.0f) * osg::Matrixf(m.getRotate());
    return -std::atan2(x.z(), x.x());
}

void print_clips(const Animator::AnimationManager& m) {
    std::printf("clips: %d\n", m.get_num_animations());
    for (int c = 0; c < m.get_num_animations(); ++c) {
        const aiAnimation* anim = m.get_clip_animation(c);
        const double rate = anim && anim->mTicksPerSecond > 0.0 ? anim->mTicksPerSecond
                                                                : Animator::DEFAULT_TICKS_PER_SECOND;
        unsigned keys = 0;
        for (unsigned i = 0; anim && i < anim->mNumChannels; ++i)
            keys = std::max(keys, anim->mChannels[i]->mNumPositionKeys);
        const float duration = m.get_animation_duration(c);
        // Root travel over one cycle: from the root motion at the start to the one at the end.
        const osg::Vec3f no_loop(0.0f, -1.0f, -1.0f);
        const osg::Matrixf start = std::get<0>(m.get_root_matrix(c, 0.0f, no_loop));
        const osg::Matrixf end = std::get<0>(m.get_root_matrix(c, duration, no_loop));
        const osg::Vec3f t = end.getTrans() - start.getTrans();
        float turn = heading(end) - heading(start);
        if (turn > kPi) turn -= 2.0f * kPi;
        if (turn <= -kPi) turn += 2.0f * kPi;
        turn = shown(turn * 180.0f / kPi, 0.05f);
        std::printf("  %3d %-24s %7.3f s  %5.1f fps  %4.0f ticks  %4u keys  travel (%.3f %.3f %.3f) m  turn %.1f deg\n",
                    c, clip_name(m, c).c_str(), duration, rate, anim ? anim->mDuration : 0.0, keys, shown(t.x(), 5e-4f),
                    shown(t.y(), 5e-4f), shown(t.z(), 5e-4f), turn);
    }
}

void print_blend_spaces(const Animator::AnimationManager& m) {
    std::printf("blend spaces: %d\n", m.get_num_blend_spaces());
    for (int i = 0; i < m.get_num_blend_spaces(); ++i) {
        const Animator::Animation& e = m.get_blend_space(i);
        static const char* const kinds[] = {"clip", "1D", "2D"};
        const int kind = static_cast<int>(e.get_type());
        std::printf("  %-20s %s%s%s\n", e.get_name().c_str(), kind >= 0 && kind <= 2 ? kinds[kind] : "?",
                    e.get_loop() ? " loop" : "", e.is_playable() ? "" : " (not playable)");
        if (const auto* b2 = dynamic_cast<const Animator::BlendSpace2D*>(&e)) {
            std::printf("    x '%s' [%g, %g], y '%s' [%g, %g]\n", b2->get_x_axis_name().c_str(), b2->get_x_min(),
                        b2->get_x_max(), b2->get_y_axis_name().c_str(), b2->get_y_min(), b2->get_y_max());
            for (const auto& p : b2->get_points())
                std::printf("    (%g, %g) %s\n", p.x, p.y, clip_name(m, p.clip).c_str());
        } else if (const auto* b1 = dynamic_cast<const Animator::BlendSpace*>(&e)) {
            std::printf("    x '%s' [%g, %g]\n", b1->get_x_axis_name().c_str(), b1->get_x_min(), b1->get_x_max());
            for (const auto& p : b1->get_points()) std::printf("    %g %s\n", p.x, clip_name(m, p.clip).c_str());
        } else {
            std::printf("    %s\n", clip_name(m, e.get_clip()).c_str());
        }
    }
}

void print_overrides(Animator::AnimationManager& m) {
    const auto& overrides = m.get_overrides();
    std::printf("overrides: %zu\n", overrides.size());
    std::vector<std::string> node_names(static_cast<size_t>(std::max(m.get_num_nodes(), 0)));
    if (const aiScene* s = m.get_skeleton()) {
        std::function<void(const aiNode*)> name = [&](const aiNode* n) {
            const int id = m.get_node_id(n->mName.C_Str());
            if (id >= 0 && id < static_cast<int>(node_names.size())) node_names[id] = n->mName.C_Str();
            for (unsigned i = 0; i < n->mNumChildren; ++i) name(n->mChildren[i]);
        };
        if (s->mRootNode) name(s->mRootNode);
    }
    for (const auto& [name, o] : overrides) {
        std::printf("  %-20s clip %s\n", name.c_str(), clip_name(m, o.clip).c_str());
        for (size_t n = 0; n < o.weights.size(); ++n) {
            if (o.weights[n] <= 0.0f) continue;
            const std::string node = n < node_names.size() && !node_names[n].empty() ? node_names[n] : "#" + std::to_string(n);
            std::printf("    %-24s %.2f\n", node.c_str(), o.weights[n]);
        }
    }
}

std::string state_entry(const Animator::AnimationGraph::State& s) {
    return s.animation ? s.animation->get_name() : std::string("-");
}

void print_graph(const Animator::AnimationManager& m, bool dot) {
    const Animator::AnimationGraph* graph = m.get_graph();
    if (!graph) {
        std::printf("state graph: none\n");
        return;
    }
    const auto& g = graph->graph();
    std::printf("state graph: %zu states\n", graph->num_states());
    for (size_t v = 0; v < graph->num_states(); ++v) {
        const auto& s = g[v];
        std::printf("  %-20s '%s' %s%s, entry %s\n", s.key.c_str(), s.name.c_str(), s.type.c_str(),
                    s.loop ? " loop" : "", state_entry(s).c_str());
        for (auto [e, end] = boost::out_edges(v, g); e != end; ++e) {
            const auto& t = g[*e].params;
            std::printf("    -> %-18s %.2f s%s shift %.2f, %s", g[boost::target(*e, g)].key.c_str(),
                        t.transition_duration, t.loop ? " loop" : "", t.animation_start_shift,
                        t.next_animation_mode.c_str());
            if (t.loop_range) std::printf(", loop range [%g, %g]", t.loop_range->x(), t.loop_range->y());
            std::printf("\n");
        }
    }
    if (!dot) return;
    std::printf("digraph \"%s\" {\n", m.get_root_node_name());
    for (size_t v = 0; v < graph->num_states(); ++v)
        std::printf("  \"%s\" [label=\"%s\\n%s\"];\n", g[v].key.c_str(), g[v].key.c_str(), state_entry(g[v]).c_str());
    for (auto [e, end] = boost::edges(g); e != end; ++e)
        std::printf("  \"%s\" -> \"%s\" [label=\"%.2f\"];\n", g[boost::source(*e, g)].key.c_str(),
                    g[boost::target(*e, g)].key.c_str(), g[*e].params.transition_duration);
    std::printf("}\n");
}

void print_library(Animator::AnimationManager& m, bool dot) {
    if (!m.is_loaded()) {
        std::printf("library: not loaded\n");
        return;
    }
    print_nodes(m);
    print_clips(m);
    print_blend_spaces(m);
    print_overrides(m);
    print_graph(m, dot);
}

void print_model(Animator::CharacterModelStatic& model) {
    std::printf("model %s: skeleton type '%s', %d bones, %d triangles, root correction %s\n", model.name().c_str(),
                model.get_skeleton_type().c_str(), model.get_num_bones(), model.get_num_triangles(),
                model.get_correct_root() ? "on" : "off");
    const auto& lods = model.get_lods();
    std::printf("levels of detail: %zu\n", lods.size());
    for (size_t i = 0; i < lods.size(); ++i)
        std::printf("  %zu: distance %.1f m, file '%s', %zu meshes%s\n", i, lods[i].distance, lods[i].file.c_str(),
                    lods[i].meshes.size(), lods[i].has_animations ? ", animated" : "");
    for (const auto& [from, to] : model.get_substitutes()) std::printf("  substitute %s -> %s\n", from.c_str(), to.c_str());
    std::printf("liveries: %d\n", model.get_num_liveries());
    std::printf("connectors: %d\n", model.getNumConnectors());
    for (int i = 0; i < model.getNumConnectors(); ++i)
        if (Graphics::ModelConnector* c = model.GetConnector(i)) std::printf("  %s\n", c->name());
    const auto& idle = model.get_idle_entries();
    std::printf("idle timeline: %zu entries\n", idle.size());
    Animator::AnimationManager* m = model.get_animation_manager();
    for (const auto& e : idle)
        std::printf("  %-24s %.2f s, share %.2f\n", m ? clip_name(*m, e.clip).c_str() : std::to_string(e.clip).c_str(),
                    e.duration, e.share);
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    if (!parse(argc, argv, opt)) {
        usage(argv[0]);
        return 2;
    }
    orn::set_log_to_stderr(false);
    std::vector<Message> messages;
    const int sink = orn::add_log_sink([&messages](const char* tag, int severity, const char* text) {
        messages.push_back(Message{tag ? tag : "", severity, text ? text : ""});
    });
    render::set_backend(std::make_shared<render::CpuBackend>());

    for (const std::string& dir : opt.animation_dirs)
        if (!std::filesystem::is_directory(dir) ||
            ornvfs::mount(dir.c_str(), "/animations/", true, kTag, true) == ornvfs::invalid_mount)
            orn_logf(kTag, 8, "can not mount animation directory '%s'", dir.c_str());

    {
        orn::ref_ptr<Animator::CharacterModelStatic> model;
        if (!opt.model.empty()) {
            const std::filesystem::path path(opt.model);
            const std::string name = path.filename().string();
            if (!std::filesystem::is_regular_file(path) ||
                ornvfs::mount(path.parent_path().empty() ? "." : path.parent_path().c_str(), "/models/", true, kTag,
                              true) == ornvfs::invalid_mount) {
                orn_logf(kTag, 8, "can not read model '%s'", opt.model.c_str());
            } else {
                model = orn::ref_ptr<Animator::CharacterModelStatic>(
                    new Animator::CharacterModelStatic(name.c_str(), ("/models/" + name).c_str()));
                model->load_async();
                print_model(*model);
                if (Animator::AnimationManager* m = model->get_animation_manager()) print_library(*m, opt.dot);
            }
        } else {
            print_library(Animator::get_animation_manager(opt.skeleton.c_str()), opt.dot);
        }
        model = orn::ref_ptr<Animator::CharacterModelStatic>();
        Animator::destroy_animation_managers();
    }
    ornvfs::unmount_by_tag(kTag);
    orn::remove_log_sink(sink);
    render::set_backend(nullptr);

    size_t errors = 0, warnings = 0;
    for (const Message& msg : messages) {
        if (msg.severity <= 8) ++errors;
        else if (msg.severity <= 16) ++warnings;
    }
    std::printf("messages: %zu (%zu errors, %zu warnings)\n", messages.size(), errors, warnings);
    for (const Message& msg : messages) {
        const char* level = msg.severity <= 8 ? "error" : msg.severity <= 16 ? "warning" : "note";
        std::printf("  [%s] %s: %s\n", msg.tag.c_str(), level, msg.text.c_str());
    }
    return errors ? 1 : 0;
}
