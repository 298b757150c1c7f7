// The host-side query interface of a character model: its bounding box and segment intersection
// against that box.
#pragma once
#include <osg/BoundingBox>
#include <osg/Vec3f>

#include "host/Graphics.h"

namespace Animator {

class CharacterModelBase;

class CharacterModelImpl : public model::IModel {
public:
    explicit CharacterModelImpl(CharacterModelBase* model) : _model(model) {}
    osg::BoundingBox getBoundingBox() const override;
    // The point where the segment first enters the model's box; false when it misses the box.
    bool intersectSegment(const osg::Vec3f& from, const osg::Vec3f& to, osg::Vec3f& hit) const override;

private:
    CharacterModelBase* _model;  // the owner; outlives this object
};

}  // namespace Animator
