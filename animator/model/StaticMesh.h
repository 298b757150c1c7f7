// A mesh without bones: drawn rigidly at each instance's placement with the mesh's own matrix.
#pragma once
#include "animator/model/AnimatorMeshBase.h"

namespace Animator {

class StaticMesh : public AnimatorMeshBase {
public:
    explicit StaticMesh(CharacterModelBase* model) : AnimatorMeshBase(model) {}
    void draw(const DrawBuffers& buffers, uint32_t instance_count, int mode) override;

protected:
    const char* const* technique_names() const override;
};

}  // namespace Animator
