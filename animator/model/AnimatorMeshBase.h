// One drawable mesh of a character model: its vertex streams, index buffer, three texture arrays
// (material texture plus every registered livery) and the handles of the drawing shader it draws with.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <assimp/scene.h>
#include <osg/Matrixf>

#include "host/Render.h"

namespace Animator {

class CharacterModelBase;

class AnimatorMeshBase {
public:
    static constexpr int num_channels = 3;
    static constexpr int num_streams = 5;
    enum Pass : int { PASS_MAIN = 0, PASS_FORWARD = 1, PASS_SHADOW = 2, PASS_FLAT_SHADOW = 3 };

    struct TextureChannel {
        render::VariableHandle variable = -1;
        render::TextureArrayPtr texture;
        std::string name;
    };
    struct VertexStream {
        render::StructuredBuffer buffer;
        render::ElementHandle element = -1;
        int index = -1;  // -1: the mesh has no such stream
    };
    // The buffers of a batch a mesh is drawn with.
    struct DrawBuffers {
        render::StructuredBuffer positions;
        render::StructuredBuffer per_instance_data;
        render::StructuredBuffer instance_indices;
        render::StructuredBuffer model_transforms;
        render::StructuredBuffer flat_shadow_params;
        render::StructuredBuffer prev_frame_transforms;
    };

    explicit AnimatorMeshBase(CharacterModelBase* model) : _model(model) {}
    virtual ~AnimatorMeshBase() = default;
    AnimatorMeshBase(const AnimatorMeshBase&) = delete;
    AnimatorMeshBase& operator=(const AnimatorMeshBase&) = delete;

    // Builds the streams, index buffer, texture arrays and handles from mesh `index` of `scene`;
    // false (logged) when the mesh can not be used at all.
    virtual bool load(const aiScene* scene, unsigned index, const render::ShaderPtr& shader,
                      const std::string& resource_path);
    // Draws `instance_count` instances listed in `buffers.instance_indices` in a pass mode.
    virtual void draw(const DrawBuffers& buffers, uint32_t instance_count, int mode) = 0;
    // Appends a texture to a channel's array (livery k sits at layer k).
    void add_livery_texture(int channel, const std::string& texture);

    void set_matrix(const osg::Matrixf& m) { _matrix = m; }
    const osg::Matrixf& get_matrix() const { return _matrix; }
    uint32_t get_num_faces() const { return _num_faces; }
    const std::vector<std::string>& get_texture_names() const { return _texture_names; }
    const TextureChannel& get_channel(int c) const { return _channels[c]; }
    const VertexStream& get_stream(int s) const { return _streams[s]; }
    const render::StructuredBuffer& get_index_buffer() const { return _index_buffer; }
    render::TechniqueHandle get_technique(int pass) const { return _techniques[pass]; }
    render::TechniqueHandle get_current_technique() const { return _current; }

protected:
    // Technique names of the four pass slots, looked up by load.
    virtual const char* const* technique_names() const = 0;
    // Selects the technique of a mode; false when nothing is to be drawn.
    bool select_technique(int mode, bool skinned);
    void bind_common(const DrawBuffers& buffers, bool with_surface);
    void draw_instances(uint32_t instance_count);

    CharacterModelBase* _model;
    osg::Matrixf _matrix;
    TextureChannel _channels[num_channels];
    render::ShaderPtr _shader;
    uint32_t _num_faces = 0;
    std::vector<std::string> _texture_names;
    VertexStream _streams[num_streams];  // positions, normals, tangents, bitangents, texture coordinates
    render::StructuredBuffer _index_buffer;
    uint32_t _index_count = 0;
    render::VariableHandle _v_positions = -1, _v_flat_shadow = -1, _v_prev_transforms = -1, _v_per_instance = -1,
                           _v_instance_indices = -1, _v_model_transforms = -1, _v_mesh_matrix = -1,
                           _v_view_projection = -1;
    render::TechniqueHandle _techniques[4] = {-1, -1, -1, -1};
    render::TechniqueHandle _current = -1;
};

}  // namespace Animator
