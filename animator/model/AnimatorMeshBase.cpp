#include "animator/model/AnimatorMeshBase.h"

#include <assimp/material.h>

#include <cstdint>
#include <cstring>

#include "animator/model/CharacterModelBase.h"
#include "animator/util/Log.h"
#include "host/Graphics.h"

namespace Animator {

namespace {

struct ChannelInfo {
    const char* variable;
    aiTextureType type;
    const char* type_name;
};
constexpr ChannelInfo CHANNELS[AnimatorMeshBase::num_channels] = {
    {"diffuse_texture", aiTextureType_DIFFUSE, "aiTextureType_DIFFUSE"},
    {"normal_texture", aiTextureType_NORMALS, "aiTextureType_NORMALS"},
    {"rm_texture", aiTextureType_SPECULAR, "aiTextureType_SPECULAR"},
};
constexpr const char* STREAM_ELEMENTS[AnimatorMeshBase::num_streams] = {"POSITION0", "NORMAL0", "NORMAL1", "NORMAL2",
                                                                        "TEXCOORD0"};
constexpr const char* TEXTURE_ARRAY_NAME = "AnimatorMeshBase_tex_array";

// The file of a material's first texture of one kind, read from its property: assimp's getters assert
// on (or copy past) a string property whose stored length does not match its size, which an
// assimp-binary file can declare. False when there is none or it is malformed (logged).
bool texture_file(const aiMaterial* material, const ChannelInfo& channel, std::string& file) {
    const aiMaterialProperty* property = nullptr;
    if (aiGetMaterialProperty(material, _AI_MATKEY_TEXTURE_BASE, channel.type, 0, &property) != AI_SUCCESS ||
        !property)
        return false;
    // The type as the file stored it: any 32-bit value, not only one of the enumeration's.
    uint32_t type = 0;
    static_assert(sizeof(property->mType) == sizeof(type), "a property type is 32 bits");
    std::memcpy(&type, &property->mType, sizeof(type));
    // A length, the characters and their terminator.
    const unsigned size = property->mDataLength;
    uint32_t length = 0;
    if (type == aiPTI_String && property->mData && size >= 5) std::memcpy(&length, property->mData, 4);
    if (type != aiPTI_String || !property->mData || size < 5 || length != size - 5 ||
        property->mData[size - 1] != '\0') {
        log_message(LOG_TAG, LOG_ERROR, "malformed %s texture path in file", channel.type_name);
        return false;
    }
    const char* text = property->mData + 4;
    file.assign(text, strnlen(text, length));
    return true;
}

const aiVector3D* stream_source(const aiMesh* mesh, int stream) {
    switch (stream) {
        case 0: return mesh->mVertices;
        case 1: return mesh->mNormals;
        case 2: return mesh->mTangents;
        case 3: return mesh->mBitangents;
        default: return mesh->mTextureCoords[0];
    }
}

}  // namespace

bool AnimatorMeshBase::load(const aiScene* scene, unsigned index, const render::ShaderPtr& shader,
                            const std::string& resource_path) {
    if (!scene || index >= scene->mNumMeshes || !scene->mMeshes[index]) {
        log_message(LOG_TAG, LOG_ERROR, "mesh %u not found in scene", index);
        return false;
    }
    const aiMesh* mesh = scene->mMeshes[index];
    const aiMaterial* material =
        mesh->mMaterialIndex < scene->mNumMaterials ? scene->mMaterials[mesh->mMaterialIndex] : nullptr;
    _shader = shader;
    _num_faces = mesh->mNumFaces;

    render::TextureArrayPtr textures[num_channels];
    std::string names[num_channels];
    for (int c = 0; c < num_channels; ++c) {
        _channels[c].variable = _shader ? _shader->getVariable(CHANNELS[c].variable) : -1;
        const unsigned count = material ? aiGetMaterialTextureCount(material, CHANNELS[c].type) : 0;
        if (count == 0) {
            log_message(LOG_TAG, LOG_ERROR, "no %s texture found in file", CHANNELS[c].type_name);
            continue;
        }
        if (count > 1) log_message(LOG_TAG, LOG_WARNING, "num %s textures = %d", CHANNELS[c].type_name, int(count));
        std::string path;
        if (!texture_file(material, CHANNELS[c], path)) continue;
        _channels[c].name = resource_path + path;
        _channels[c].texture = render::TextureArray::open({_channels[c].name}, TEXTURE_ARRAY_NAME, LOG_TAG);
        _texture_names.push_back(_channels[c].name);
        textures[c] = _channels[c].texture;
        names[c] = _channels[c].name;
    }
    if (_model) _model->_set_default_livery(textures, names);

    for (int s = 0; s < num_streams; ++s) {
        _streams[s].element = _shader ? _shader->getElement(STREAM_ELEMENTS[s]) : -1;
        const aiVector3D* source = stream_source(mesh, s);
        if (!source || mesh->mNumVertices == 0) continue;
        _streams[s].buffer = render::RenderAPI::createVertexBuffer(_streams[s].element, render::EF_FLOAT3, source,
                                                                   mesh->mNumVertices, sizeof(aiVector3D));
        _streams[s].index = _streams[s].buffer ? s : -1;
    }
    std::vector<uint32_t> indices;
    indices.reserve(size_t(mesh->mNumFaces) * 3);
    for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
        const aiFace& face = mesh->mFaces[f];
        // Faces are triangles after import; anything else (points, lines) is left out.
        if (face.mNumIndices != 3) continue;
        for (unsigned k = 0; k < 3; ++k)
            indices.push_back(face.mIndices[k] < mesh->mNumVertices ? face.mIndices[k] : 0u);
    }
    _index_count = static_cast<uint32_t>(indices.size());
    if (!indices.empty())
        _index_buffer = render::RenderAPI::createIndexBuffer(indices.data(), static_cast<uint32_t>(indices.size()));

    if (_shader) {
        _v_positions = _shader->getVariable("positions");
        _v_flat_shadow = _shader->getVariable("flat_shadow_params");
        _v_prev_transforms = _shader->getVariable("prev_frame_transforms");
        _v_model_transforms = _shader->getVariable("model_transforms");
        _v_per_instance = _shader->getVariable("per_instance_data");
        _v_instance_indices = _shader->getVariable("instance_indices");
        _v_mesh_matrix = _shader->getVariable("mesh_matrix");
        _v_view_projection = _shader->getVariable("view_projection");
        const char* const* names_of_passes = technique_names();
        for (int p = 0; p < 4; ++p) _techniques[p] = _shader->getTechnique(names_of_passes[p]);
    }
    return true;
}

void AnimatorMeshBase::add_livery_texture(int channel, const std::string& texture) {
    if (channel < 0 || channel >= num_channels) return;
    TextureChannel& c = _channels[channel];
    std::vector<std::string> names = c.texture ? c.texture->names() : std::vector<std::string>{c.name};
    names.push_back(texture);
    render::TextureArrayPtr reopened = render::TextureArray::open(names, TEXTURE_ARRAY_NAME, LOG_TAG);
    if (!reopened) {
        log_message(LOG_TAG, LOG_WARNING, "TextureArray::open() returned false, may be in dedicated server mode");
        return;
    }
    c.texture = reopened;
    _texture_names.push_back(texture);
}

bool AnimatorMeshBase::select_technique(int mode, bool skinned) {
    switch (mode) {
        case 0: _current = _techniques[PASS_MAIN]; return true;
        case 1: _current = _techniques[PASS_SHADOW]; return true;
        case 2: _current = _techniques[PASS_FLAT_SHADOW]; return true;
        case 4: case 5: case 8: case 9: _current = _techniques[PASS_FORWARD]; return true;
        case 7: if (skinned) _current = _techniques[PASS_FORWARD]; return true;
        case 15: return !skinned;
        default: return true;
    }
}

void AnimatorMeshBase::bind_common(const DrawBuffers& b, bool with_surface) {
    render::RenderAPI::beginTechnique(_shader, _current, 0);
    for (int s = 0; s < num_streams; ++s) {
        if (_streams[s].index < 0) continue;
        if (s > 0 && !with_surface) continue;
        render::RenderAPI::bindVertexBuffer(_streams[s].element, _streams[s].buffer);
    }
    render::RenderAPI::bindIndexBuffer(_index_buffer);
    render::RenderAPI::bindBuffer(_v_positions, b.positions);
    render::RenderAPI::bindBuffer(_v_per_instance, b.per_instance_data);
    render::RenderAPI::bindBuffer(_v_instance_indices, b.instance_indices);
    render::RenderAPI::bindBuffer(_v_model_transforms, b.model_transforms);
    render::RenderAPI::bindBuffer(_v_flat_shadow, b.flat_shadow_params);
    render::RenderAPI::bindBuffer(_v_prev_transforms, b.prev_frame_transforms);
}

void AnimatorMeshBase::draw_instances(uint32_t instance_count) {
    for (int c = 0; c < num_channels; ++c) render::RenderAPI::bindTexture(_channels[c].variable, _channels[c].texture);
    render::RenderAPI::setMatrix(_v_mesh_matrix, _matrix);
    // The camera of the pass being drawn (the light's in a shadow pass), row-vector order.
    if (const Graphics::Context* context = Graphics::Context::getCurrentContext())
        render::RenderAPI::setMatrix(_v_view_projection, context->camera.view * context->camera.projection);
    render::RenderAPI::commit();
    render::RenderAPI::drawIndexedInstanced(_index_count, instance_count);
    render::RenderAPI::endPass();
}

}  // namespace Animator
