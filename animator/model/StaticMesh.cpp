#include "animator/model/StaticMesh.h"

namespace Animator {

namespace {
constexpr const char* TECHNIQUES[4] = {"StaticModel", "StaticForward", "ShadowStatic", "FlatShadowStatic"};
}  // namespace

const char* const* StaticMesh::technique_names() const { return TECHNIQUES; }

void StaticMesh::draw(const DrawBuffers& buffers, uint32_t instance_count, int mode) {
    if (!select_technique(mode, false) || instance_count == 0) return;
    bind_common(buffers, true);
    draw_instances(instance_count);
}

}  // namespace Animator
