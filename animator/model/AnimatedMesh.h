// A skinned mesh: its vertices follow the skeleton's model-space node matrices that the animation
// compute pass writes, through per-vertex bone weights and indices, bone offsets and bone node ids.
#pragma once
#include <cstdint>
#include <vector>

#include "animator/model/AnimatorMeshBase.h"

namespace Animator {

class AnimatedMesh : public AnimatorMeshBase {
public:
    static constexpr unsigned max_bones = 256;  // bone indices travel as bytes
    // Per-vertex skinning record: four weights, then four bone indices (slot 0 in the top byte).
    struct SkinRecord {
        float weights[4] = {0, 0, 0, 0};
        uint32_t indices = 0;
    };
    static_assert(sizeof(SkinRecord) == 20, "skinning record is 20 bytes");

    explicit AnimatedMesh(CharacterModelBase* model, std::vector<int32_t> node_ids = {})
        : AnimatorMeshBase(model), _node_ids(std::move(node_ids)) {}

    bool load(const aiScene* scene, unsigned index, const render::ShaderPtr& shader,
              const std::string& resource_path) override;
    void draw(const DrawBuffers& buffers, uint32_t instance_count, int mode) override;

    // Fills one record per vertex from the bones' weights; false (logged) when the mesh has more bones
    // than a byte can index.
    static bool build_skin_records(const aiMesh* mesh, std::vector<SkinRecord>& out);

    const std::vector<int32_t>& get_node_ids() const { return _node_ids; }
    const std::vector<SkinRecord>& get_skin_records() const { return _skin; }
    const render::StructuredBuffer& get_bone_offsets() const { return _bone_offsets; }
    const render::StructuredBuffer& get_bone_nodes() const { return _bone_nodes; }

protected:
    const char* const* technique_names() const override;

private:
    std::vector<int32_t> _node_ids;
    std::vector<SkinRecord> _skin;
    render::StructuredBuffer _skin_buffer;
    render::StructuredBuffer _bone_offsets;
    render::StructuredBuffer _bone_nodes;
    render::VariableHandle _v_bone_offset = -1, _v_transform_indices = -1;
    render::ElementHandle _e_weights = -1, _e_indices = -1;
};

}  // namespace Animator
