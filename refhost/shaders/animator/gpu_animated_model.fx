// Drawing shader of the animator plug-in: instanced characters, skinned by the model-space node
// matrices that animation_compute.fx writes, or rigid.
//
// Defines: NUM_NODES (N), MAX_ANIMATIONS_STACK_SIZE.
//
// Per instance (gl_InstanceID indexes instance_indices, giving the instance slot i):
//   positions              mat4 per slot: the instance's world placement (column-vector use)
//   per_instance_data      108 words per slot; words 1..3 the livery triple: the layer of each
//                          texture channel (diffuse, normal, rm) in the three texture arrays
//   model_transforms       N mat4 per slot (slot * N + node), model-space node matrices
//   flat_shadow_params     6 floats per slot: the terrain point under the instance, relative to the
//                          render origin, and the terrain's normal there (all 0 without terrain)
//   prev_frame_transforms  mat4 per slot, the host's row-vector matrix taking a world point of this
//                          frame to where the same point of the instance stood in the last frame
//                          (stored transposed, so here it is applied as row vector * matrix)
// Per skinned mesh:
//   bone_offset            mat4 per bone: the bone's offset matrix as imported (row-major, column
//                          vectors, so it is transposed here)
//   transform_indices      int per bone: the skeleton node of the bone (-1: none)
//   TEXCOORD1 / TEXCOORD2  per vertex four weights and four bone indices; index byte k belongs to
//                          weight 3 - k (weight slot 0 is the most significant byte of the word)
// Per draw: mesh_matrix (the rigid mesh's placement in the model), view_projection (the camera of
// the pass, the light's in a shadow pass), model_time.
// From the host, per frame (refhost/shaders/README.md): light_direction, and the shadow map of the
// frame's shadow pass with light_view_projection and shadow_map_ready.
//
// Techniques: Deferred (skinned; lit and shadowed colour, and screen-space motion to the second
// target), Forward (skinned; lit and shadowed colour), Shadow (skinned; depth only), FlatShadow
// (skinned; the silhouette projected along the light onto the terrain plane under the instance,
// where the shadow map does not reach: there the map's shadow lies on the ground already), and the
// rigid StaticModel, StaticForward, ShadowStatic, FlatShadowStatic.

#pragma technique Deferred pass 0 vertex:vs_main fragment:fs_main
#pragma technique Forward pass 0 vertex:vs_main fragment:fs_main
#pragma technique Shadow pass 0 vertex:vs_main fragment:fs_depth
#pragma technique FlatShadow pass 0 vertex:vs_main fragment:fs_flat_shadow
#pragma technique StaticModel pass 0 vertex:vs_main fragment:fs_main
#pragma technique StaticForward pass 0 vertex:vs_main fragment:fs_main
#pragma technique ShadowStatic pass 0 vertex:vs_main fragment:fs_depth
#pragma technique FlatShadowStatic pass 0 vertex:vs_main fragment:fs_flat_shadow

#if defined(TECHNIQUE_Deferred) || defined(TECHNIQUE_Forward) || defined(TECHNIQUE_Shadow) || \
    defined(TECHNIQUE_FlatShadow)
#define SKINNED 1
#endif
#if defined(TECHNIQUE_Shadow) || defined(TECHNIQUE_ShadowStatic)
#define DEPTH_ONLY 1
#endif
#if defined(TECHNIQUE_FlatShadow) || defined(TECHNIQUE_FlatShadowStatic)
#define FLAT_SHADOW 1
#endif
#if defined(TECHNIQUE_Deferred) || defined(TECHNIQUE_StaticModel)
#define MOTION_TARGET 1
#endif

#define INSTANCE_WORDS 108

uniform mat4 view_projection;
uniform mat4 mesh_matrix;
uniform float model_time;
uniform vec3 light_direction;

#if defined(VERTEX_STAGE)

layout(std430) readonly buffer instance_indices { int instance_ids[]; };
layout(std430) readonly buffer positions { mat4 instance_placements[]; };
layout(std430) readonly buffer per_instance_data { int instance_words[]; };
layout(std430) readonly buffer model_transforms { mat4 node_matrices[]; };
layout(std430) readonly buffer flat_shadow_params { float flat_shadow_words[]; };
layout(std430) readonly buffer prev_frame_transforms { mat4 motion_matrices[]; };
layout(std430) readonly buffer bone_offset { mat4 bone_offsets[]; };
layout(std430) readonly buffer transform_indices { int bone_nodes[]; };

in vec3 POSITION0;
#if !defined(DEPTH_ONLY) && !defined(FLAT_SHADOW)
in vec3 NORMAL0;
in vec3 NORMAL1;
in vec3 NORMAL2;
in vec3 TEXCOORD0;
#endif
#if defined(SKINNED)
in vec4 TEXCOORD1;
in uvec4 TEXCOORD2;
#endif

out vec3 v_world;
out vec3 v_normal;
out vec3 v_tangent;
out vec3 v_bitangent;
out vec2 v_uv;
flat out ivec3 v_livery;
out vec4 v_clip;
out vec4 v_prev_clip;

// The mesh-to-model matrix of this vertex.
mat4 model_matrix(int slot) {
#if defined(SKINNED)
    mat4 skin = mat4(0.0);
    float total = 0.0;
    for (int k = 0; k < 4; ++k) {
        const float w = TEXCOORD1[k];
        if (w == 0.0) continue;
        const int bone = int(TEXCOORD2[3 - k]);
        const int node = bone_nodes[bone];
        if (node < 0 || node >= NUM_NODES) continue;
        skin += w * (node_matrices[slot * NUM_NODES + node] * transpose(bone_offsets[bone]));
        total += w;
    }
    return total > 0.0 ? skin / total : mesh_matrix;
#else
    return mesh_matrix;
#endif
}

void vs_main() {
    const int slot = instance_ids[gl_InstanceID];
    const mat4 placement = instance_placements[slot];
    const mat4 local = placement * model_matrix(slot);
    vec4 world = local * vec4(POSITION0, 1.0);
#if defined(FLAT_SHADOW)
    const int f = slot * 6;
    const vec3 ground = vec3(flat_shadow_words[f], flat_shadow_words[f + 1], flat_shadow_words[f + 2]);
    const vec3 up = vec3(flat_shadow_words[f + 3], flat_shadow_words[f + 4], flat_shadow_words[f + 5]);
    const vec3 towards_light = normalize(light_direction);
    const float facing = dot(towards_light, up);
    if (dot(up, up) == 0.0 || facing <= 0.0) {
        gl_Position = vec4(0.0, 0.0, 2.0, 1.0);  // no terrain: outside the clip volume
        return;
    }
    const float along = dot(world.xyz - ground, up) / facing;
    world.xyz = world.xyz - towards_light * along + up * 0.01;
#endif
    gl_Position = view_projection * world;
    v_world = world.xyz;
    v_clip = gl_Position;
    v_prev_clip = view_projection * (world * motion_matrices[slot]);
    v_livery = ivec3(instance_words[slot * INSTANCE_WORDS + 1], instance_words[slot * INSTANCE_WORDS + 2],
                     instance_words[slot * INSTANCE_WORDS + 3]);
#if !defined(DEPTH_ONLY) && !defined(FLAT_SHADOW)
    const mat3 rotation = mat3(local);
    v_normal = rotation * NORMAL0;
    v_tangent = rotation * NORMAL1;
    v_bitangent = rotation * NORMAL2;
    v_uv = TEXCOORD0.xy;
#else
    v_normal = vec3(0.0, 1.0, 0.0);
    v_tangent = vec3(1.0, 0.0, 0.0);
    v_bitangent = vec3(0.0, 0.0, 1.0);
    v_uv = vec2(0.0);
#endif
}

#endif

#if defined(FRAGMENT_STAGE)

uniform sampler2DArray diffuse_texture;
uniform sampler2DArray normal_texture;
uniform sampler2DArray rm_texture;
uniform mat4 light_view_projection;
uniform sampler2DShadow shadow_map;
uniform int shadow_map_ready;

in vec3 v_world;
in vec3 v_normal;
in vec3 v_tangent;
in vec3 v_bitangent;
in vec2 v_uv;
flat in ivec3 v_livery;
in vec4 v_clip;
in vec4 v_prev_clip;

#if !defined(DEPTH_ONLY)
layout(location = 0) out vec4 out_colour;
layout(location = 1) out vec2 out_motion;
#endif

// Where p lies in the shadow map: texture coordinates and depth; false outside the map (or with no map).
bool shadow_map_point(vec3 p, vec3 n, out vec3 at, out float texel) {
    if (shadow_map_ready == 0) return false;
    const vec3 across = vec3(light_view_projection[0][0], light_view_projection[1][0], light_view_projection[2][0]);
    texel = 1.0 / float(textureSize(shadow_map, 0).x);
    // Moved off the surface by a texel and a half, so that it does not shadow itself.
    const vec4 clip = light_view_projection * vec4(p + n * (3.0 * texel / length(across)), 1.0);
    at = clip.xyz / clip.w * 0.5 + 0.5;
    return all(greaterThanEqual(at.xy, vec2(0.0))) && all(lessThanEqual(at.xy, vec2(1.0)));
}

// The share of the light reaching p (normal n): 1 lit, 0 in shadow; 1 where the map does not reach.
float light_reaching(vec3 p, vec3 n) {
    vec3 at;
    float texel;
    if (!shadow_map_point(p, n, at, texel)) return 1.0;
    const float depth = min(at.z, 1.0) - 0.0005;
    float sum = 0.0;
    for (int y = -1; y <= 1; ++y)
        for (int x = -1; x <= 1; ++x) sum += texture(shadow_map, vec3(at.xy + vec2(x, y) * texel, depth));
    return sum / 9.0;
}

void fs_main() {
#if !defined(DEPTH_ONLY)
    const vec4 albedo = texture(diffuse_texture, vec3(v_uv, float(v_livery.x)));
    const vec3 bump = texture(normal_texture, vec3(v_uv, float(v_livery.y))).xyz * 2.0 - 1.0;
    const vec3 rm = texture(rm_texture, vec3(v_uv, float(v_livery.z))).xyz;
    vec3 n = normalize(v_normal);
    if (dot(bump, bump) > 0.01)
        n = normalize(mat3(normalize(v_tangent), normalize(v_bitangent), n) * normalize(bump));
    const vec3 towards_light = normalize(light_direction);
    const float lambert = max(dot(n, towards_light), 0.0);
    const vec3 half_vector = normalize(towards_light + vec3(0.0, 0.3, 1.0));
    const float shininess = mix(64.0, 4.0, clamp(rm.r, 0.0, 1.0));
    const float specular = pow(max(dot(n, half_vector), 0.0), shininess) * mix(0.08, 0.5, clamp(rm.g, 0.0, 1.0));
    const float light = lambert > 0.0 ? light_reaching(v_world, normalize(v_normal)) : 0.0;
    const vec3 lit = albedo.rgb * (0.35 + 0.75 * lambert * light) + vec3(specular * light);
    out_colour = vec4(clamp(lit, 0.0, 1.0), 1.0);
#if defined(MOTION_TARGET)
    // Screen-space motion in normalised device units of this frame minus the last.
    out_motion = v_clip.xy / v_clip.w - v_prev_clip.xy / v_prev_clip.w;
#else
    out_motion = vec2(0.0);
#endif
#endif
}

void fs_depth() {}

void fs_flat_shadow() {
#if !defined(DEPTH_ONLY)
    vec3 at;
    float texel;
    if (shadow_map_point(v_world, vec3(0.0), at, texel)) discard;
    out_colour = vec4(0.16, 0.18, 0.15, 1.0);
    out_motion = vec2(0.0);
#endif
}

#endif
