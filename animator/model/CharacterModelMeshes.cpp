// CharacterModelBase: building the meshes of a level of detail from an imported scene, and the
// default livery they open with.
#include <osg/Matrixf>

#include "animator/library/AnimationManager.h"
#include "animator/model/AnimatedMesh.h"
#include "animator/model/CharacterModelBase.h"
#include "animator/model/StaticMesh.h"
#include "animator/util/Log.h"
#include "animator/util/MathUtils.h"
#include "host/Livery.h"

namespace Animator {

namespace {

// The node whose first mesh is `mesh`, searched depth first; null when none.
const aiNode* node_of_mesh(const aiNode* node, unsigned mesh) {
    if (!node) return nullptr;
    if (node->mNumMeshes > 0 && node->mMeshes[0] == mesh) return node;
    for (unsigned i = 0; i < node->mNumChildren; ++i)
        if (const aiNode* found = node_of_mesh(node->mChildren[i], mesh)) return found;
    return nullptr;
}

// The placement of the node holding `mesh`: its transform, then each ancestor's, up to the root.
aiMatrix4x4 collect_matrix_chain(const aiScene* scene, unsigned mesh) {
    const aiNode* node = node_of_mesh(scene ? scene->mRootNode : nullptr, mesh);
    aiMatrix4x4 m;
    for (const aiNode* n = node; n; n = n->mParent) m = n->mTransformation * m;
    aiVector3D scaling, position;
    aiQuaternion rotation;
    m.Decompose(scaling, rotation, position);
    if (scaling.x > 1.0f) {
        aiMatrix4x4 uniform;
        aiMatrix4x4::Scaling(aiVector3D(1.0f / scaling.x), uniform);
        m = m * uniform;
    }
    return m;
}

}  // namespace

void CharacterModelBase::create_meshes(const aiScene* scene, std::vector<std::shared_ptr<AnimatorMeshBase>>& meshes) {
    if (!scene) return;
    for (unsigned i = 0; i < scene->mNumMeshes; ++i) {
        const aiNode* node = node_of_mesh(scene->mRootNode, i);
        const std::string node_name = node ? node->mName.C_Str() : "";
        if (node_name == "bounding_box") continue;

        const aiScene* source = scene;
        unsigned index = i;
        ScenePtr substitute;
        auto it = _substitutes.find(node_name);
        if (it != _substitutes.end()) {
            substitute = _import_model_file(it->second);
            if (substitute && substitute->mNumMeshes > 0) {
                source = substitute.get();
                index = 0;
            }
        }
        const aiMesh* mesh = source->mMeshes[index];
        std::shared_ptr<AnimatorMeshBase> built;
        if (mesh && mesh->mNumBones > 0) {
            std::vector<int32_t> node_ids;
            for (unsigned b = 0; b < mesh->mNumBones; ++b)
                node_ids.push_back(_manager && mesh->mBones[b] ? _manager->get_node_id(mesh->mBones[b]->mName.C_Str())
                                                               : -1);
            built = std::make_shared<AnimatedMesh>(this, std::move(node_ids));
        } else {
            built = std::make_shared<StaticMesh>(this);
        }
        if (built->load(source, index, _shader, _model_path)) {
            built->set_matrix(to_Matrixf(collect_matrix_chain(source, index)));
            // Liveries registered before (a reload) take their layers again, in registration order.
            ILiveryManager* liveries = ILiveryManager::instance();
            for (size_t l = 1; liveries && l < _liveries.size(); ++l)
                liveries->enumerateTextures(_liveries[l].handle, [&](int channel, const std::string& texture,
                                                                     const std::string&) {
                    if (channel >= 0 && channel < max_num_channels && !texture.empty())
                        built->add_livery_texture(channel, texture);
                });
            _texture_names.insert(_texture_names.end(), built->get_texture_names().begin(),
                                  built->get_texture_names().end());
            meshes.push_back(std::move(built));
        }
    }
}

void CharacterModelBase::_set_default_livery(const render::TextureArrayPtr* textures, const std::string* names) {
    if (_liveries.empty()) {
        _liveries.emplace_back();
        _livery_indices.emplace_back(0, 0, 0);
    }
    for (int c = 0; c < max_num_channels; ++c) {
        _liveries[0].textures[c] = textures[c];
        _liveries[0].names[c] = names[c];
    }
}

}  // namespace Animator
