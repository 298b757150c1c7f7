// CharacterModelStatic: per-frame rendering of the placed characters. Submission gathers the visible
// instances of every pass into batches; the batch's render object uploads the per-instance arrays, runs
// the animation compute pass and draws every mesh of every level of detail instanced; the end-of-frame
// callback empties the batches.
#include <new>
#include <string>

#include <osg/Matrixd>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/AnimatorBatchRenderObject.h"
#include "animator/model/AnimatorMeshBase.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Clock.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"
#include "host/Terrain.h"

namespace Animator {

int CharacterModelStatic::batch_hold_count = 0;

namespace {

constexpr int PASS_MAIN = 0;
constexpr int PASS_SHADOW = 1;
constexpr int PASS_FLAT_SHADOW = 2;
constexpr uint64_t FLAT_SHADOW_KEY = 1;
constexpr int FLAT_SHADOW_QUEUE_KIND = 16;  // a host queue that gathers flat shadows whatever the pass
constexpr int USAGE_INPUT = 5;
constexpr int USAGE_READ_WRITE = 12;

// Where a profiler would measure; the sections cost nothing here.
class GpuTiming {
public:
    static GpuTiming& instance() {
        static GpuTiming timing;
        return timing;
    }
    void begin(const char*) {}
    void end(const char*) {}
};

class TimingSection {
public:
    explicit TimingSection(const char* name) : _name(name) { GpuTiming::instance().begin(name); }
    ~TimingSection() { GpuTiming::instance().end(_name); }
    TimingSection(const TimingSection&) = delete;
    TimingSection& operator=(const TimingSection&) = delete;

private:
    const char* _name;
};

// Writes `count` elements into `buffer`, first creating it anew with exactly `count` elements when
// its capacity is smaller; buffers never shrink.
void upload(render::StructuredBuffer& buffer, uint32_t element_size, const void* data, size_t count, int usage) {
    if (count == 0) return;
    if (!buffer || buffer->capacity() < count) {
        buffer.reset();
        buffer = render::RenderAPI::createStructuredBuffer(element_size, static_cast<uint32_t>(count), usage, nullptr,
                                                           0, LOG_TAG);
    }
    if (buffer) buffer->update(data, count * element_size);
}

osg::Matrixf to_matrix(const wPosition3<float>& p) { return osg::Matrixf(&p.m[0][0]); }

wPosition3<float> to_position(const osg::Matrixf& m) {
    wPosition3<float> p;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) p.m[r][c] = m(r, c);
    return p;
}

// inverse(current) * previous in double precision (row vectors): takes a point of this frame back
// to where the same point of the instance stood in the previous frame.
osg::Matrixf motion_matrix(const osg::Matrixf& current, const osg::Matrixf& previous) {
    const osg::Matrixd w(current);
    osg::Matrixd inverse;
    const bool affine = w(0, 3) == 0.0 && w(1, 3) == 0.0 && w(2, 3) == 0.0 && w(3, 3) == 1.0;
    if (affine) inverse.invert_4x3(w);
    else inverse.invert_4x4(w);
    return osg::Matrixf(inverse * osg::Matrixd(previous));
}

}  // namespace

void CharacterModelStatic::render(const Graphics::ModelInstance& instance, Graphics::RenderQueue& queue,
                                  const wPosition3<float>& pos) {
    if (!_main_load->get_signal().try_wait()) return;
    Graphics::Context* context = Graphics::Context::getCurrentContext();
    if (!context) return;
    const uint64_t frame = context->frame_number;
    // A flat-shadow queue makes this submission part of the flat-shadow pass.
    const int pass_type = queue.kind() == FLAT_SHADOW_QUEUE_KIND ? PASS_FLAT_SHADOW : context->pass_type;
    wPosition3<float> working = pos;

    model::ModelCookie* base = instance.getCookie();
    if (!base || base->getType() != CharacterModelCookie::type) return;
    auto* cookie = static_cast<CharacterModelCookie*>(base);
    const int id = cookie->get_id();
    if (id < 0 || static_cast<size_t>(id) >= _per_instance_data.size()) return;
    _render.reserve_ids(_per_instance_data.size());

    if (_statistics_enabled) {
        if (statistics.count(this, frame)) _render.start_statistics();
        ++_render.parsed;
        statistics.origin = context->origin;
    }

    if (!cookie->get_extern_pos_update() && _correct_root && _manager) {
        const InstanceData& data = _per_instance_data[id];
        const auto matrices = _manager->get_instance_matrix(static_cast<float>(get_model_time()), id,
                                                            osg::Vec2f(data.timeline_start, data.timeline_length),
                                                            this);
        working = to_position(std::get<0>(matrices) * to_matrix(pos));
    }

    int lod = 0;
    if (!_lods.empty()) {
        const osg::Vec3d offset = context->camera.position - osg::Vec3d(working.position());
        const double distance = offset.length() * Graphics::GetDistanceMultiplier() + Graphics::GetDistanceAdder();
        lod = _get_lod(static_cast<float>(distance));
        // Beyond the last level, or beyond the levels a batch lists: not drawn in this pass.
        if (lod < 0 || lod >= AnimatorBatch::max_lods) return;
    }

    uint64_t key = queue.passKey();
    if (pass_type == PASS_FLAT_SHADOW) {
        key = FLAT_SHADOW_KEY;
        CharacterRenderState::FlatShadow record{};
        const osg::Vec3d world = osg::Vec3d(working.position()) + context->origin;
        osg::Vec3f hit, normal;
        const ornterrain::ITerrain* terrain = ornterrain::ITerrain::GetDefaultTerrain();
        if (terrain && terrain->getSurface(world, hit, normal)) {
            const osg::Vec3d local = osg::Vec3d(hit) - context->origin;
            record = {float(local.x()), float(local.y()), float(local.z()), normal.x(), normal.y(), normal.z()};
        }
        _render.flat_shadows[id] = record;
        if (_statistics_enabled) ++_render.flat_shadow_instances;
    }

    AnimatorBatch& batch = _render.batches[key];
    if (batch.name.empty()) batch.name = std::to_string(key) + queue.className();
    if (!batch._model) batch._model = this;

    const osg::Matrixf world = to_matrix(working);
    _render.world_matrices[id] = world;

    if (batch.frame != frame) {
        void* memory = Graphics::frameHeapAlloc(sizeof(AnimatorBatchRenderObject));
        if (memory) {
            // Lives in the per-frame heap until the frame ends; never destroyed by the model.
            queue.add(new (memory) AnimatorBatchRenderObject(&batch, this, id, world), 2);
        }
        batch.frame = frame;
        batch.draw_count = 0;
        batch.shadow_instances = 0;
        batch.rendered_instances = 0;
    }
    batch.pass_type = pass_type;

    batch.lod_indices[lod].push_back(id);
    if (batch._total_indices.size() + 1 > _per_instance_data.size())
        log_message(LOG_TAG, LOG_WARNING, "_total_indices.size() > _model->_per_instance_data.size()");
    else
        batch._total_indices.push_back(id);

    if (_statistics_enabled) {
        if (pass_type == PASS_MAIN) ++_render.main_instances;
        else if (pass_type == PASS_SHADOW) ++batch.shadow_instances;
    }

    CharacterRenderState::Motion& motion = _render.motion[id];
    if (motion.frame != frame) {
        motion.previous = motion.current;
        motion.had_previous = motion.frame != AnimatorBatch::never && motion.frame + 1 == frame;
        motion.frame = frame;
    }
    const osg::Matrixf upload =
        motion.had_previous ? motion_matrix(world, motion.previous) : context->prev_origin_transform;
    motion.upload.transpose(upload);
    _render.motion_uploads[id] = motion.upload;
    motion.current = world;
}

void CharacterModelStatic::end_frame() {
    const Graphics::Context* context = Graphics::Context::getCurrentContext();
    if (_statistics_enabled && context) {
        if (statistics.frame != context->frame_number) statistics.start_frame(context->frame_number);
        statistics.origin = context->origin;
    }
    for (size_t l = 0; l < _lods.size() && l < size_t(AnimatorBatch::max_lods); ++l)
        _render.lod_instances[l] = _lods[l].instance_count;
    bool levels_done = false;  // a main-pass batch let its lists go: its level counts start anew
    for (auto& entry : _render.batches) {
        AnimatorBatch& batch = entry.second;
        batch.total_triangles = 0;
        batch.total_instances = 0;
        for (int l = 0; l < AnimatorBatch::max_lods; ++l) {
            const size_t count = batch.lod_indices[l].size();
            batch.lod_counts[l] = static_cast<int>(count);
            batch.total_instances += static_cast<int>(count);
            if (static_cast<size_t>(l) >= _lods.size()) continue;
            for (const auto& mesh : _lods[l].meshes) batch.total_triangles += int64_t(mesh->get_num_faces()) * count;
        }
        if (_statistics_enabled && batch.draw_count < batch_hold_count) continue;
        for (auto& list : batch.lod_indices) list.clear();
        batch._total_indices.clear();
        if (batch.pass_type == PASS_MAIN) levels_done = true;
    }
    if (_statistics_enabled && levels_done)
        for (LevelOfDetail& level : _lods) level.instance_count = 0;
}

void CharacterModelStatic::draw_batch(AnimatorBatch& batch, Graphics::Context* context) {
    // A batch of flat shadows draws them whatever pass its queue is drawn in.
    const int pass_type =
        context && batch.pass_type != PASS_FLAT_SHADOW ? context->pass_type : batch.pass_type;
    if (!_rendering_enabled || (pass_type == PASS_SHADOW && !_shadow_enabled)) return;
    if (batch._total_indices.empty()) {
        if (_statistics_enabled) ++_render.skipped_objects;
        return;
    }
    float t = static_cast<float>(get_model_time());
    if (t == 0.0f && context) t = static_cast<float>(context->time);
    _render.frame_time = t;

    const size_t slots = _per_instance_data.size();
    _render.reserve_ids(slots);
    {
        TimingSection section("characters_parse_transfer");
        upload(_render.instance_indices, sizeof(int32_t), batch._total_indices.data(), batch._total_indices.size(),
               USAGE_INPUT);
        std::vector<osg::Matrixf> placements(slots);
        for (size_t slot = 0; slot < slots; ++slot) {
            const int32_t owner = _per_instance_data[slot].id;
            if (owner >= 0 && static_cast<size_t>(owner) < _render.world_matrices.size())
                placements[slot] = _render.world_matrices[owner];
        }
        upload(_render.positions, sizeof(osg::Matrixf), placements.data(), placements.size(), USAGE_INPUT);
        upload(_render.flat_shadow_params, sizeof(CharacterRenderState::FlatShadow), _render.flat_shadows.data(),
               _render.flat_shadows.size(), USAGE_INPUT);
        upload(_render.prev_frame_transforms, sizeof(osg::Matrixf), _render.motion_uploads.data(),
               _render.motion_uploads.size(), USAGE_INPUT);
    }

    const int nodes = _manager ? _manager->get_num_nodes() : 0;
    for (int l = 0; l < AnimatorBatch::max_lods; ++l) {
        const std::vector<int32_t>& list = batch.lod_indices[l];
        if (list.empty()) continue;
        TimingSection pass_section(pass_type == PASS_SHADOW ? "characters_shadow" : "characters_render");
        {
            TimingSection transfer("characters_render_transfer");
            upload(_render.instance_indices, sizeof(int32_t), list.data(), list.size(), USAGE_INPUT);
        }
        if (!_main_load->get_signal().try_wait()) return;

        const bool layout_changed = is_changed();
        render::StructuredBuffer& current = _render.per_instance_data[_render.current_per_instance];
        if (layout_changed || !current || current->capacity() < slots) {
            for (auto& buffer : _render.per_instance_data)
                upload(buffer, sizeof(InstanceData), _per_instance_data.data(), slots, USAGE_INPUT);
            upload(_render.per_instance_animations, sizeof(ShaderBlendSpace2D), pool.records.data(),
                   pool.records.size(), USAGE_INPUT);
            // Every slot needs its node matrices: a buffer too small for the slots would be written
            // out of range by the compute pass, so it is recreated whenever it is smaller.
            const size_t transforms = size_t(nodes) * slots;
            if (!_render.model_transforms || _render.model_transforms->capacity() < transforms) {
                _render.model_transforms.reset();
                if (transforms > 0)
                    _render.model_transforms = render::RenderAPI::createStructuredBuffer(
                        sizeof(osg::Matrixf), static_cast<uint32_t>(transforms), USAGE_READ_WRITE, nullptr, 0, LOG_TAG);
            }
            if (layout_changed) set_changed(false);
        }
        render::StructuredBuffer& per_instance = _render.per_instance_data[_render.current_per_instance];
        render::RenderAPI::setFloat(_model_time_variable, t);

        if (_compute_enabled && _manager) {
            TimingSection compute("characters_comp");
            AnimationManager::ComputePassParams params;
            params.model_time = t;
            params.instance_count = static_cast<int32_t>(list.size());
            params.per_instance_data = &per_instance;
            params.per_instance_animations = &_render.per_instance_animations;
            params.instance_indices = &_render.instance_indices;
            params.model_transforms = &_render.model_transforms;
            _manager->compute(params);
        }

        if (static_cast<size_t>(l) < _lods.size()) {
            const AnimatorMeshBase::DrawBuffers buffers{_render.positions,        per_instance,
                                                        _render.instance_indices, _render.model_transforms,
                                                        _render.flat_shadow_params, _render.prev_frame_transforms};
            for (const auto& mesh : _lods[l].meshes) mesh->draw(buffers, static_cast<uint32_t>(list.size()), pass_type);
        }
        batch.frame = context ? context->frame_number : batch.frame;

        if (_statistics_enabled) {
            _render.rendered_instances += static_cast<int>(list.size());
            batch.rendered_instances += static_cast<int>(list.size());
        }
        if (pass_type == PASS_MAIN && static_cast<size_t>(l) < _lods.size())
            _lods[l].instance_count = static_cast<int32_t>(list.size());
    }
    if (_statistics_enabled) ++_render.processed_objects;
    ++batch.draw_count;
}

}  // namespace Animator
