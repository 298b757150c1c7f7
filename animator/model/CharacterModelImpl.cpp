#include "animator/model/CharacterModelImpl.h"

#include <algorithm>
#include <cmath>

#include "animator/model/CharacterModelBase.h"

namespace Animator {

osg::BoundingBox CharacterModelImpl::getBoundingBox() const {
    return _model ? _model->getBoundingBox() : osg::BoundingBox();
}

bool CharacterModelImpl::intersectSegment(const osg::Vec3f& from, const osg::Vec3f& to, osg::Vec3f& hit) const {
    const osg::BoundingBox box = getBoundingBox();
    if (!box.valid()) return false;
    // Slab test on the segment from + s * (to - from), s in [0, 1].
    const osg::Vec3f d = to - from;
    float s_min = 0.0f, s_max = 1.0f;
    for (int axis = 0; axis < 3; ++axis) {
        const float lo = box._min[axis], hi = box._max[axis];
        if (std::fabs(d[axis]) < 1e-12f) {
            if (from[axis] < lo || from[axis] > hi) return false;
            continue;
        }
        float s0 = (lo - from[axis]) / d[axis];
        float s1 = (hi - from[axis]) / d[axis];
        if (s0 > s1) std::swap(s0, s1);
        s_min = std::max(s_min, s0);
        s_max = std::min(s_max, s1);
        if (s_min > s_max) return false;
    }
    hit = from + d * s_min;
    return true;
}

}  // namespace Animator
