// The concrete character model: the instance registry and record pool, the idle timeline, cookie
// creation and per-frame rendering.
#pragma once
#include <atomic>
#include <memory>
#include <vector>

#include <osg/Vec3f>

#include "animator/instance/CharacterModelReflection.h"
#include "animator/model/CharacterModelBase.h"
#include "animator/model/CharacterRenderState.h"

namespace Animator {

class CharacterModelStatic : public CharacterModelBase, public CharacterModelReflection {
public:
    struct IdleEntry {
        float duration = 0.0f;
        float share = 0.0f;
        int32_t clip = 0;
    };

    CharacterModelStatic(const char* name, const char* path);

    std::unique_ptr<model::ModelCookie> createCookie() override;
    void render(const Graphics::ModelInstance& instance, Graphics::RenderQueue& queue,
                const wPosition3<float>& pos) override;
    float generate_timeline(float t, std::vector<osg::Vec3f>& out, float& total, float random) const;
    const std::vector<IdleEntry>& get_idle_entries() const { return _idle_entries; }
    void on_instance_added(CharacterModelCookie* cookie) override;

    // Per-frame rendering (CharacterModelRender.cpp): draws one batch in the current pass (a null
    // context draws the pass of its last submission); empties the batches at the end of a frame.
    void draw_batch(AnimatorBatch& batch, Graphics::Context* context);
    void end_frame();
    const CharacterRenderState& get_render_state() const { return _render; }
    // Debug: with statistics on, a batch keeps its lists until it was drawn this many times.
    static int batch_hold_count;

protected:
    ~CharacterModelStatic() override;
    void do_load_basic() override;
    void do_load_main() override;

    std::vector<IdleEntry> _idle_entries;
    int _idle_count = 1;  // "count" of the idle timeline: the number of slots dealt
    mutable std::atomic<bool> _timeline_cut_reported{false};  // the cap is reported once per model
    render::VariableHandle _model_time_variable = -1;
    std::unique_ptr<Graphics::RendererCallback> _callback;
    CharacterRenderState _render;
};

}  // namespace Animator
