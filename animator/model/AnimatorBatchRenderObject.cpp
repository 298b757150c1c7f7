#include "animator/model/AnimatorBatchRenderObject.h"

#include "animator/model/AnimatorBatch.h"
#include "animator/model/CharacterModelStatic.h"

namespace Animator {

AnimatorBatchRenderObject::AnimatorBatchRenderObject(AnimatorBatch* batch, CharacterModelStatic* model,
                                                     int32_t first_id, const osg::Matrixf& first_matrix)
    : _batch(batch), _model(model), _first_id(first_id), _first_matrix(first_matrix) {}

osg::BoundingBox AnimatorBatchRenderObject::getBoundingBox() const { return _model->getBoundingBox(); }
osg::Vec3f AnimatorBatchRenderObject::getCenter() const { return _model->GetCenter(); }
float AnimatorBatchRenderObject::getRadius() const { return _model->GetRadius(); }
int AnimatorBatchRenderObject::get_draw_count() const { return _batch->draw_count; }
uint64_t AnimatorBatchRenderObject::get_frame() const { return _batch->frame; }

void AnimatorBatchRenderObject::draw(Graphics::Context* context) { _model->draw_batch(*_batch, context); }

void AnimatorBatchRenderObject::draw_without_context() { _model->draw_batch(*_batch, nullptr); }

}  // namespace Animator
