// Read-only descriptions of a character model and of a placed character, exported with C linkage so
// that a host that loads the plug-in with dlopen (the host program) can find them with dlsym.
#pragma once
#include <string>
#include <vector>

#include <osg/Vec3f>

#include "host/Graphics.h"

namespace Animator {

struct ModelDescription {
    struct Clip {
        std::string name;
        float duration = 0.0f;
    };
    std::string name;
    std::string path;
    std::string skeleton_type;
    bool has_library = false;  // an animation library exists for the skeleton type
    int num_nodes = 0;
    std::vector<Clip> clips;
    std::vector<std::string> blend_spaces;
    std::vector<std::string> graph_states;
    std::vector<std::string> connectors;
    std::vector<float> lod_distances;
    int idle_entries = 0;
    int load_state = 0;
    osg::Vec3f bounds_min, bounds_max;
    float radius = 0.0f;
    int default_animation_id = -1;
};

struct CookieDescription {
    int id = -1;
    int stack_size = 0;
    float timeline_start = 0.0f;
    float timeline_length = 0.0f;
    // The record in effect at the asked time.
    unsigned kind = 0;
    int clip = -1;
    std::string clip_name;
    float start_time = 0.0f;
    int blend_space_id = 0;
    osg::Vec3f root_position;  // the root motion of that record at the asked time
};

}  // namespace Animator

extern "C" {
// False when `model` is not a character model of this plug-in.
bool animator_describe_model(Graphics::Model* model, Animator::ModelDescription* out);
// False when `cookie` is not a character cookie of this plug-in.
bool animator_describe_cookie(model::ModelCookie* cookie, float time, Animator::CookieDescription* out);
}
