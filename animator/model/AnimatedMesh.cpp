#include "animator/model/AnimatedMesh.h"

#include "animator/util/Log.h"

namespace Animator {

namespace {
constexpr const char* TECHNIQUES[4] = {"Deferred", "Forward", "Shadow", "FlatShadow"};
}  // namespace

const char* const* AnimatedMesh::technique_names() const { return TECHNIQUES; }

bool AnimatedMesh::build_skin_records(const aiMesh* mesh, std::vector<SkinRecord>& out) {
    out.assign(mesh ? mesh->mNumVertices : 0, SkinRecord());
    if (!mesh) return false;
    if (mesh->mNumBones > max_bones) {
        log_message(LOG_TAG, LOG_ERROR, "mesh %s has %u bones, at most %u can be indexed; it is not skinned",
                    mesh->mName.C_Str(), mesh->mNumBones, max_bones);
        return false;
    }
    for (unsigned b = 0; b < mesh->mNumBones; ++b) {
        const aiBone* bone = mesh->mBones[b];
        if (!bone) continue;
        for (unsigned k = 0; k < bone->mNumWeights; ++k) {
            const aiVertexWeight& vw = bone->mWeights[k];
            if (vw.mVertexId >= out.size()) continue;
            SkinRecord& r = out[vw.mVertexId];
            for (int slot = 0; slot < 4; ++slot) {
                if (r.weights[slot] != 0.0f) continue;
                r.weights[slot] = vw.mWeight;
                r.indices |= uint32_t(b) << (8 * (3 - slot));
                break;
            }
        }
    }
    return true;
}

bool AnimatedMesh::load(const aiScene* scene, unsigned index, const render::ShaderPtr& shader,
                        const std::string& resource_path) {
    if (!AnimatorMeshBase::load(scene, index, shader, resource_path)) return false;
    const aiMesh* mesh = scene->mMeshes[index];
    if (_shader) {
        _v_bone_offset = _shader->getVariable("bone_offset");
        _v_transform_indices = _shader->getVariable("transform_indices");
        _e_weights = _shader->getElement("TEXCOORD1");
        _e_indices = _shader->getElement("TEXCOORD2");
    }
    if (!build_skin_records(mesh, _skin)) return false;
    std::vector<aiMatrix4x4> offsets(mesh->mNumBones);
    for (unsigned b = 0; b < mesh->mNumBones; ++b)
        if (mesh->mBones[b]) offsets[b] = mesh->mBones[b]->mOffsetMatrix;
    _node_ids.resize(mesh->mNumBones, -1);
    if (!offsets.empty()) {
        _bone_offsets = render::RenderAPI::createStructuredBuffer(sizeof(aiMatrix4x4), uint32_t(offsets.size()), 5,
                                                                  offsets.data(), offsets.size() * sizeof(aiMatrix4x4),
                                                                  LOG_TAG);
        _bone_nodes = render::RenderAPI::createStructuredBuffer(sizeof(int32_t), uint32_t(_node_ids.size()), 5,
                                                                _node_ids.data(), _node_ids.size() * sizeof(int32_t),
                                                                LOG_TAG);
    }
    if (!_skin.empty())
        _skin_buffer = render::RenderAPI::createVertexBuffer(_e_weights, render::EF_FLOAT4_UBYTE4, _skin.data(),
                                                             uint32_t(_skin.size()), sizeof(SkinRecord));
    return true;
}

void AnimatedMesh::draw(const DrawBuffers& buffers, uint32_t instance_count, int mode) {
    if (!select_technique(mode, true) || instance_count == 0) return;
    bind_common(buffers, mode != 1);
    if (_skin_buffer) {
        render::RenderAPI::bindVertexBuffer(_e_weights, _skin_buffer);
        render::RenderAPI::bindVertexBuffer(_e_indices, _skin_buffer);
    }
    render::RenderAPI::bindBuffer(_v_bone_offset, _bone_offsets);
    render::RenderAPI::bindBuffer(_v_transform_indices, _bone_nodes);
    draw_instances(instance_count);
}

}  // namespace Animator
