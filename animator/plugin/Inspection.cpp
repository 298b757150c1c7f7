#include "animator/plugin/Inspection.h"

#include <tuple>

#include "animator/blend/Animation.h"
#include "animator/blend/AnimationGraph.h"
#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelStatic.h"

extern "C" bool animator_describe_model(Graphics::Model* model, Animator::ModelDescription* out) {
    using namespace Animator;
    auto* character = dynamic_cast<CharacterModelStatic*>(model);
    if (!character || !out) return false;
    ModelDescription d;
    d.name = character->name();
    d.path = character->path();
    d.skeleton_type = character->get_skeleton_type();
    d.default_animation_id = character->get_default_animation_id();
    const osg::BoundingBox box = character->getBoundingBox();
    d.bounds_min = box._min;
    d.bounds_max = box._max;
    d.radius = character->GetRadius();
    d.load_state = character->getLoadState();
    for (const auto& level : character->get_lods()) d.lod_distances.push_back(level.distance);
    d.idle_entries = static_cast<int>(character->get_idle_entries().size());
    for (int i = 0; i < character->getNumConnectors(); ++i)
        if (Graphics::ModelConnector* c = character->GetConnector(i)) d.connectors.push_back(c->name());
    if (AnimationManager* manager = character->get_animation_manager()) {
        d.has_library = true;
        d.num_nodes = manager->get_num_nodes();
        for (int i = 0; i < manager->get_num_animations(); ++i) {
            std::string clip_name;
            manager->get_animation(i, clip_name);
            d.clips.push_back({clip_name, manager->get_animation_duration(i)});
        }
        for (int i = 0; i < manager->get_num_blend_spaces(); ++i)
            d.blend_spaces.push_back(manager->get_blend_space(i).get_name());
        if (AnimationGraph* graph = manager->get_graph()) {
            const auto& g = graph->graph();
            for (size_t v = 0; v < graph->num_states(); ++v) d.graph_states.push_back(g[v].name);
        }
    }
    *out = std::move(d);
    return true;
}

extern "C" bool animator_describe_cookie(model::ModelCookie* cookie, float time, Animator::CookieDescription* out) {
    using namespace Animator;
    if (!cookie || !out || cookie->getType() != CharacterModelCookie::type) return false;
    auto* c = static_cast<CharacterModelCookie*>(cookie);
    CookieDescription d;
    d.id = c->get_id();
    d.stack_size = c->get_stack_size();
    d.timeline_start = c->get_instance_data().timeline_start;
    d.timeline_length = c->get_instance_data().timeline_length;
    if (d.stack_size > 0) {
        const ShaderBlendSpace2D& rec = c->get_current_blend_space(time);
        d.kind = rec.kind;
        d.clip = static_cast<int>(rec.samples[0].clip);
        d.start_time = rec.start_time;
        d.blend_space_id = rec.blend_space_id;
        AnimationManager* manager = c->get_model() ? c->get_model()->get_animation_manager() : nullptr;
        if (manager) {
            if (d.clip >= 0 && d.clip < manager->get_num_animations()) manager->get_animation(d.clip, d.clip_name);
            d.root_position = std::get<0>(manager->get_instance_matrix(time, c)).getTrans();
        }
    }
    *out = std::move(d);
    return true;
}
