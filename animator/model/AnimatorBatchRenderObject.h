// The render object one batch hands to the render queue each frame; made in the host's per-frame heap,
// it lives until the frame ends and draws every instance of its batch.
#pragma once
#include <cstdint>

#include <osg/Matrixf>
#include <osg/Vec3f>

#include "animator/model/AnimatorRenderObject.h"

namespace Animator {

struct AnimatorBatch;
class CharacterModelStatic;

class AnimatorBatchRenderObject : public AnimatorRenderObject {
public:
    AnimatorBatchRenderObject(AnimatorBatch* batch, CharacterModelStatic* model, int32_t first_id,
                              const osg::Matrixf& first_matrix);
    osg::BoundingBox getBoundingBox() const override;
    osg::Vec3f getCenter() const override;
    float getRadius() const override;
    int get_draw_count() const;
    uint64_t get_frame() const;
    void draw(Graphics::Context* context) override;
    void draw_without_context() override;

    AnimatorBatch* get_batch() const { return _batch; }
    int32_t get_first_id() const { return _first_id; }
    const osg::Matrixf& get_first_matrix() const { return _first_matrix; }

private:
    AnimatorBatch* _batch;
    CharacterModelStatic* _model;
    int32_t _first_id;
    osg::Matrixf _first_matrix;
    float _orientation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // 3x3 identity
    osg::Vec3f _position{0.0f, 0.0f, 0.0f};
    float _radius = 100000.0f;
};

}  // namespace Animator
