// The assimp-binary structure check: walks the image as assimp's reader does, checking every read, every
// chunk size and every declared count against the bytes that remain.
#include "animator/library/AssbinCheck.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include <zlib.h>

#include "animator/util/Log.h"

namespace Animator {

namespace {

const char SIGNATURE[] = "ASSIMP.binary-dump.";
const size_t HEADER_SIZE = 512;  // signature, version, flags, file name, options, padding
const size_t MAX_STRING = 1024;  // assimp's string capacity, terminator included
const unsigned MAX_FACE_INDICES = 0x7fff;
const unsigned MAX_SETS = 8;  // colour and texture-coordinate sets
// An unpacked image larger than this, or than the packing allows for its compressed size, is refused.
const size_t MAX_UNPACKED = size_t(512) << 20;
const size_t MAX_ZLIB_RATIO = 1032;

enum Chunk : uint32_t {
    CAMERA = 0x1234,
    LIGHT = 0x1235,
    TEXTURE = 0x1236,
    MESH = 0x1237,
    NODE_ANIM = 0x1238,
    SCENE = 0x1239,
    BONE = 0x123a,
    ANIMATION = 0x123b,
    NODE = 0x123c,
    MATERIAL = 0x123d,
    MATERIAL_PROPERTY = 0x123e,
};

enum MeshBits : uint32_t {
    HAS_POSITIONS = 0x1,
    HAS_NORMALS = 0x2,
    HAS_TANGENTS = 0x4,
    TEXCOORD_BASE = 0x100,
    COLOR_BASE = 0x10000,
};

const uint32_t POLYGON = 0x8;  // primitive types: point 1, line 2, triangle 4, polygon 8

const size_t FLOAT = 4, VEC3 = 12, COLOR4 = 16, MATRIX = 64, WEIGHT = 8, VECTOR_KEY = 20, QUAT_KEY = 24;

// A cursor over the image; the first fault stops everything and is kept.
class Reader {
public:
    Reader(const unsigned char* data, size_t size) : _p(data), _end(data + size) {}

    const std::string& fault() const { return _fault; }
    bool ok() const { return _fault.empty(); }
    size_t left() const { return static_cast<size_t>(_end - _p); }

    bool fail(const std::string& why) {
        if (_fault.empty()) _fault = why;
        return false;
    }
    bool skip(size_t bytes, const char* what) {
        if (!ok()) return false;
        if (bytes > left()) return fail(std::string("truncated ") + what);
        _p += bytes;
        return true;
    }
    // `count` items of at least `bytes` each must fit what remains.
    bool skip_items(uint64_t count, size_t bytes, const char* what) {
        if (!ok()) return false;
        if (bytes && count > left() / bytes) return fail(std::string("declared count of ") + what + " passes the file");
        return skip(static_cast<size_t>(count * bytes), what);
    }
    uint32_t u32(const char* what) {
        uint32_t v = 0;
        if (ok() && left() >= 4) std::memcpy(&v, _p, 4);
        skip(4, what);
        return v;
    }
    uint16_t u16(const char* what) {
        uint16_t v = 0;
        if (ok() && left() >= 2) std::memcpy(&v, _p, 2);
        skip(2, what);
        return v;
    }
    void string(const char* what) {
        const uint32_t length = u32(what);
        if (ok() && length >= MAX_STRING) {
            fail(std::string("over-long ") + what);
            return;
        }
        skip(length, what);
    }

    // A chunk header: its magic and a size that fits what remains. Answers where the chunk ends.
    const unsigned char* chunk(uint32_t magic, const char* what) {
        if (u32(what) != magic && ok()) fail(std::string("wrong chunk where a ") + what + " belongs");
        const uint32_t size = u32(what);
        if (ok() && size > left()) fail(std::string("chunk of a ") + what + " passes the file");
        return ok() ? _p + size : nullptr;
    }
    // The chunk's contents must end where its size says.
    void end(const unsigned char* chunk_end, const char* what) {
        if (ok() && _p != chunk_end) fail(std::string("chunk size of a ") + what + " does not match its contents");
    }

private:
    const unsigned char* _p;
    const unsigned char* _end;
    std::string _fault;
};

void check_node(Reader& r, int depth) {
    if (depth > 4096) {
        r.fail("nodes nested too deep");
        return;
    }
    const unsigned char* end = r.chunk(NODE, "node");
    r.string("node name");
    r.skip(MATRIX, "node transform");
    const uint32_t children = r.u32("node");
    const uint32_t meshes = r.u32("node");
    const uint32_t metadata = r.u32("node");
    r.skip_items(meshes, 4, "node meshes");
    // Each child is a chunk of at least its header, name length, transform and three counts.
    if (r.ok() && children > r.left() / (8 + 4 + MATRIX + 12)) r.fail("declared count of node children passes the file");
    for (uint32_t i = 0; i < children && r.ok(); ++i) check_node(r, depth + 1);
    if (r.ok() && metadata > r.left() / 6) r.fail("declared count of node metadata passes the file");
    for (uint32_t i = 0; i < metadata && r.ok(); ++i) {
        r.string("metadata key");
        switch (r.u16("metadata type")) {
            case 0: r.skip(1, "metadata"); break;         // bool
            case 1: r.skip(4, "metadata"); break;         // int32
            case 2: r.skip(8, "metadata"); break;         // uint64
            case 3: r.skip(FLOAT, "metadata"); break;     // float
            case 4: r.skip(8, "metadata"); break;         // double
            case 5: r.string("metadata"); break;          // string
            case 6: r.skip(VEC3, "metadata"); break;      // vector
            default: break;                               // the reader reads no value
        }
    }
    r.end(end, "node");
}

void check_mesh(Reader& r) {
    const unsigned char* end = r.chunk(MESH, "mesh");
    const uint32_t declared_types = r.u32("mesh");
    const uint32_t vertices = r.u32("mesh");
    const uint32_t faces = r.u32("mesh");
    const uint32_t bones = r.u32("mesh");
    r.u32("mesh");  // material
    const uint32_t bits = r.u32("mesh");
    if (bits & HAS_POSITIONS) r.skip_items(vertices, VEC3, "vertices");
    if (bits & HAS_NORMALS) r.skip_items(vertices, VEC3, "normals");
    if (bits & HAS_TANGENTS) r.skip_items(vertices, 2 * VEC3, "tangents");
    for (unsigned n = 0; n < MAX_SETS && (bits & (COLOR_BASE << n)); ++n) r.skip_items(vertices, COLOR4, "colours");
    for (unsigned n = 0; n < MAX_SETS && (bits & (TEXCOORD_BASE << n)); ++n) {
        r.u32("texture coordinates");
        r.skip_items(vertices, VEC3, "texture coordinates");
    }
    const size_t index_bytes = vertices < (1u << 16) ? 2 : 4;
    if (r.ok() && faces > 0 && !(bits & HAS_POSITIONS)) r.fail("faces without vertex positions");
    if (r.ok() && faces > r.left() / 2) r.fail("declared count of faces passes the file");
    // Assimp's post-processing reads vertices by the face indices unchecked, and its triangulation
    // trusts the primitive types the mesh declares (it asserts on a polygon mesh without polygons).
    uint32_t types = 0;
    for (uint32_t i = 0; i < faces && r.ok(); ++i) {
        const uint16_t indices = r.u16("face");
        if (r.ok() && indices > MAX_FACE_INDICES) r.fail("face with too many indices");
        if (r.ok() && indices == 0) r.fail("face without indices");
        if (!r.ok() || indices > r.left() / index_bytes) {
            r.skip_items(indices, index_bytes, "face indices");
            break;
        }
        for (uint16_t k = 0; k < indices; ++k)
            if ((index_bytes == 2 ? r.u16("face index") : r.u32("face index")) >= vertices && r.ok())
                r.fail("face index past the vertices");
        types |= indices < 4 ? 1u << (indices - 1) : POLYGON;
    }
    // None declared is fine: assimp works them out from the faces then.
    const uint32_t declared = declared_types & 0xf;
    if (r.ok() && faces > 0 && declared != 0 && declared != types) r.fail("primitive types do not match the faces");
    if (r.ok() && bones > r.left() / (8 + 4 + 4 + MATRIX)) r.fail("declared count of bones passes the file");
    for (uint32_t i = 0; i < bones && r.ok(); ++i) {
        const unsigned char* bone_end = r.chunk(BONE, "bone");
        r.string("bone name");
        const uint32_t weights = r.u32("bone");
        r.skip(MATRIX, "bone offset");
        r.skip_items(weights, WEIGHT, "bone weights");
        r.end(bone_end, "bone");
    }
    r.end(end, "mesh");
}

void check_material(Reader& r) {
    const unsigned char* end = r.chunk(MATERIAL, "material");
    const uint32_t properties = r.u32("material");
    if (r.ok() && properties > r.left() / (8 + 4 + 16)) r.fail("declared count of material properties passes the file");
    for (uint32_t i = 0; i < properties && r.ok(); ++i) {
        const unsigned char* property_end = r.chunk(MATERIAL_PROPERTY, "material property");
        r.string("material property key");
        r.u32("material property");  // semantic
        r.u32("material property");  // index
        const uint32_t length = r.u32("material property");
        r.u32("material property");  // type
        r.skip(length, "material property data");
        r.end(property_end, "material property");
    }
    r.end(end, "material");
}

void check_animation(Reader& r) {
    const unsigned char* end = r.chunk(ANIMATION, "animation");
    r.string("animation name");
    r.skip(16, "animation");  // duration, ticks per second
    const uint32_t channels = r.u32("animation");
    if (r.ok() && channels > r.left() / (8 + 4 + 20)) r.fail("declared count of channels passes the file");
    for (uint32_t i = 0; i < channels && r.ok(); ++i) {
        const unsigned char* channel_end = r.chunk(NODE_ANIM, "channel");
        r.string("channel name");
        const uint32_t positions = r.u32("channel");
        const uint32_t rotations = r.u32("channel");
        const uint32_t scalings = r.u32("channel");
        r.skip(8, "channel");  // pre and post state
        r.skip_items(positions, VECTOR_KEY, "position keys");
        r.skip_items(rotations, QUAT_KEY, "rotation keys");
        r.skip_items(scalings, VECTOR_KEY, "scaling keys");
        r.end(channel_end, "channel");
    }
    r.end(end, "animation");
}

void check_texture(Reader& r) {
    const unsigned char* end = r.chunk(TEXTURE, "texture");
    const uint32_t width = r.u32("texture");
    const uint32_t height = r.u32("texture");
    r.skip(8, "texture format");
    if (height == 0)
        r.skip(width, "texture data");
    else
        r.skip_items(static_cast<uint64_t>(width) * height, 4, "texels");
    r.end(end, "texture");
}

void check_light(Reader& r) {
    const unsigned char* end = r.chunk(LIGHT, "light");
    r.string("light name");
    const uint32_t type = r.u32("light");
    r.skip(3 * VEC3, "light");
    if (type != 1) r.skip(3 * FLOAT, "light");  // not directional: attenuation
    r.skip(3 * VEC3, "light colours");
    if (type == 3) r.skip(2 * FLOAT, "light cone");  // spot
    r.end(end, "light");
}

void check_camera(Reader& r) {
    const unsigned char* end = r.chunk(CAMERA, "camera");
    r.string("camera name");
    r.skip(3 * VEC3 + 4 * FLOAT, "camera");
    r.end(end, "camera");
}

std::string check_scene(const unsigned char* data, size_t size) {
    Reader r(data, size);
    const unsigned char* end = r.chunk(SCENE, "scene");
    r.u32("scene");  // flags
    uint32_t counts[6];
    for (uint32_t& c : counts) c = r.u32("scene");
    // Lights differ between versions of the format; a character's files have none.
    if (r.ok() && counts[4] > 0) r.fail("lights are not read");
    check_node(r, 0);
    // Every element is a chunk of at least a header and one field.
    for (uint32_t c : counts)
        if (r.ok() && c > r.left() / 12) r.fail("declared count of scene elements passes the file");
    void (*const checks[])(Reader&) = {check_mesh, check_material, check_animation, check_texture, check_light,
                                       check_camera};
    for (int kind = 0; kind < 6; ++kind)
        for (uint32_t i = 0; i < counts[kind] && r.ok(); ++i) checks[kind](r);
    r.end(end, "scene");
    return r.fault();
}

}  // namespace

bool AssbinCheck::is_assbin(const void* data, size_t size) {
    return data && size >= sizeof(SIGNATURE) - 1 && std::memcmp(data, SIGNATURE, sizeof(SIGNATURE) - 1) == 0;
}

std::string AssbinCheck::check(const void* data, size_t size) {
    if (!is_assbin(data, size)) return "no assimp-binary signature";
    if (size < HEADER_SIZE) return "truncated header";
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    uint32_t major = 0, minor = 0;
    uint16_t shortened = 0, compressed = 0;
    std::memcpy(&major, bytes + 44, 4);
    std::memcpy(&minor, bytes + 48, 4);
    std::memcpy(&shortened, bytes + 60, 2);
    std::memcpy(&compressed, bytes + 62, 2);
    if (major != 1 || minor != 0) return "unknown version";
    if (shortened) return "shortened file";
    if (!compressed) return check_scene(bytes + HEADER_SIZE, size - HEADER_SIZE);

    if (size < HEADER_SIZE + 4) return "truncated header";
    uint32_t declared = 0;
    std::memcpy(&declared, bytes + HEADER_SIZE, 4);
    const size_t packed = size - HEADER_SIZE - 4;
    if (declared > MAX_UNPACKED || declared / MAX_ZLIB_RATIO > packed) return "declared unpacked size is implausible";
    std::vector<unsigned char> unpacked(declared ? declared : 1);
    uLongf length = declared;
    if (uncompress(unpacked.data(), &length, bytes + HEADER_SIZE + 4, static_cast<uLong>(packed)) != Z_OK)
        return "compressed data does not unpack";
    return check_scene(unpacked.data(), length);
}

bool AssbinCheck::accept(const void* data, size_t size, const std::string& file) {
    if (!is_assbin(data, size)) return true;
    const std::string fault = check(data, size);
    if (fault.empty()) return true;
    log_message(LOG_TAG, LOG_ERROR, "error loading %s: %s", file.c_str(), fault.c_str());
    return false;
}

}  // namespace Animator
