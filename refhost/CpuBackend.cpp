// Recording renderer back-end (see CpuBackend.h).
#include "refhost/CpuBackend.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <utility>

#include "host/Log.h"
#include "refhost/CpuAnimationCompute.h"

namespace render {

// State shared by a back-end and the resources it made (which may outlive it).
struct CpuRecorder {
    struct HandleTable {
        std::vector<std::pair<uint32_t, std::string>> names;  // handle -> (shader id, name)
        std::map<std::pair<uint32_t, std::string>, int> handles;

        int get(uint32_t shader, const char* name) {
            if (!name) return -1;
            auto key = std::make_pair(shader, std::string(name));
            auto it = handles.find(key);
            if (it != handles.end()) return it->second;
            int handle = static_cast<int>(names.size());
            names.push_back(key);
            handles.emplace(std::move(key), handle);
            return handle;
        }
        std::string name(int handle) const {
            if (handle < 0 || static_cast<size_t>(handle) >= names.size()) return std::string();
            return names[static_cast<size_t>(handle)].second;
        }
    };

    mutable std::mutex mutex;
    std::vector<Command> commands;
    std::vector<std::weak_ptr<CpuBuffer>> buffers;
    uint64_t buffers_created = 0;
    std::vector<std::shared_ptr<CpuShader>> shaders;
    std::vector<std::weak_ptr<CpuTextureArray>> textures;
    HandleTable techniques, variables, elements;
    std::shared_ptr<CpuShader> current_shader;
    // What the pass begun last has bound, by variable name.
    struct Bound {
        std::map<std::string, StructuredBuffer> buffers;
        std::map<std::string, float> floats;
    } bound;
    std::set<std::string> failing_shaders;
    bool textures_available = true;
    uint32_t next_shader_id = 1;

    void record(Command c) {
        std::lock_guard<std::mutex> lock(mutex);
        record_locked(std::move(c));
    }
    void record_locked(Command c) {
        if (c.type != Command::BeginTechnique) c.shader = current_shader;
        commands.push_back(std::move(c));
    }

    template <class T> static void prune(std::vector<std::weak_ptr<T>>& list) {
        if (list.size() < 256 || list.size() % 256 != 0) return;
        list.erase(std::remove_if(list.begin(), list.end(), [](const std::weak_ptr<T>& w) { return w.expired(); }),
                   list.end());
    }

    template <class T> static std::vector<std::shared_ptr<T>> alive(const std::vector<std::weak_ptr<T>>& list) {
        std::vector<std::shared_ptr<T>> out;
        for (const auto& w : list)
            if (auto p = w.lock()) out.push_back(std::move(p));
        return out;
    }
};

const char* command_type_name(Command::Type type) {
    switch (type) {
    case Command::BeginTechnique: return "BeginTechnique";
    case Command::BindBuffer: return "BindBuffer";
    case Command::BindTexture: return "BindTexture";
    case Command::SetFloat: return "SetFloat";
    case Command::SetInt: return "SetInt";
    case Command::SetMatrix: return "SetMatrix";
    case Command::BindVertexBuffer: return "BindVertexBuffer";
    case Command::BindIndexBuffer: return "BindIndexBuffer";
    case Command::UpdateBuffer: return "UpdateBuffer";
    case Command::Commit: return "Commit";
    case Command::Dispatch: return "Dispatch";
    case Command::DrawIndexedInstanced: return "DrawIndexedInstanced";
    case Command::EndPass: return "EndPass";
    case Command::DrawLines: return "DrawLines";
    }
    return "?";
}

// ---- CpuBuffer ----

namespace {

// Buffer contents are numbered across every back-end, so that a number names one content of one buffer.
uint64_t next_version() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

}  // namespace

CpuBuffer::CpuBuffer(std::weak_ptr<CpuRecorder> recorder, uint64_t serial, BufferKind kind, uint32_t element_size,
                     uint32_t capacity, int usage, std::string tag)
    : _recorder(std::move(recorder)), _serial(serial), _kind(kind), _element_size(element_size), _capacity(capacity),
      _usage(usage), _tag(std::move(tag)), _bytes(static_cast<size_t>(element_size) * capacity, 0),
      _version(next_version()) {}

bool CpuBuffer::update(const void* data, size_t bytes, size_t offset) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (offset > _bytes.size() || bytes > _bytes.size() - offset) return false;
        if (bytes == 0) return true;
        if (!data) return false;
        std::memcpy(_bytes.data() + offset, data, bytes);
        _version = next_version();
        ++_updates;
    }
    if (auto rec = _recorder.lock()) {
        Command c;
        c.type = Command::UpdateBuffer;
        c.buffer = shared_from_this();
        c.offset = offset;
        c.bytes = bytes;
        rec->record(std::move(c));
    }
    return true;
}

bool CpuBuffer::read(void* out, size_t bytes, size_t offset) const {
    std::lock_guard<std::mutex> lock(_mutex);
    if (offset > _bytes.size() || bytes > _bytes.size() - offset) return false;
    if (bytes == 0) return true;
    if (!out) return false;
    std::memcpy(out, _bytes.data() + offset, bytes);
    return true;
}

std::vector<uint8_t> CpuBuffer::contents() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _bytes;
}

int CpuBuffer::update_count() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _updates;
}

// ---- CpuShader ----

CpuShader::CpuShader(std::weak_ptr<CpuRecorder> recorder, uint32_t id, std::string file, ShaderDefines defines)
    : _recorder(std::move(recorder)), _id(id), _file(std::move(file)), _defines(std::move(defines)) {}

TechniqueHandle CpuShader::getTechnique(const char* name) {
    auto rec = _recorder.lock();
    if (!rec) return -1;
    std::lock_guard<std::mutex> lock(rec->mutex);
    return rec->techniques.get(_id, name);
}

VariableHandle CpuShader::getVariable(const char* name) {
    auto rec = _recorder.lock();
    if (!rec) return -1;
    std::lock_guard<std::mutex> lock(rec->mutex);
    return rec->variables.get(_id, name);
}

ElementHandle CpuShader::getElement(const char* name) {
    auto rec = _recorder.lock();
    if (!rec) return -1;
    std::lock_guard<std::mutex> lock(rec->mutex);
    return rec->elements.get(_id, name);
}

std::string CpuShader::define(const std::string& name) const {
    for (const auto& d : _defines)
        if (d.name == name) return d.value;
    return std::string();
}

// ---- CpuBackend ----

CpuBackend::CpuBackend() : _rec(std::make_shared<CpuRecorder>()) {}
CpuBackend::~CpuBackend() = default;

ShaderPtr CpuBackend::openShader(const char* file, const ShaderDefines& defines) {
    if (!file || !*file) {
        orn_logf("RENDER", 8, "openShader: no file name");
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(_rec->mutex);
    if (_rec->failing_shaders.count(file)) {
        orn_logf("RENDER", 8, "can not open shader '%s'", file);
        return nullptr;
    }
    auto shader = std::make_shared<CpuShader>(_rec, _rec->next_shader_id++, file, defines);
    _rec->shaders.push_back(shader);
    return shader;
}

StructuredBuffer CpuBackend::createStructuredBuffer(uint32_t element_size, uint32_t count, int usage, const void* data,
                                                    size_t bytes, const char* tag) {
    std::shared_ptr<CpuBuffer> buffer;
    {
        std::lock_guard<std::mutex> lock(_rec->mutex);
        buffer = std::make_shared<CpuBuffer>(_rec, ++_rec->buffers_created, BK_STRUCTURED, element_size, count, usage,
                                             tag ? tag : "");
        CpuRecorder::prune(_rec->buffers);
        _rec->buffers.push_back(buffer);
    }
    const size_t capacity_bytes = buffer->byte_size();
    if (bytes > capacity_bytes) {
        orn_logf("RENDER", 8, "structured buffer '%s': %zu bytes of data for %zu bytes of buffer", tag ? tag : "",
                 bytes, capacity_bytes);
        bytes = capacity_bytes;
    }
    if (data && bytes) {
        std::lock_guard<std::mutex> lock(buffer->_mutex);
        std::memcpy(buffer->_bytes.data(), data, bytes);
        buffer->_version = next_version();
    }
    return buffer;
}

StructuredBuffer CpuBackend::createVertexBuffer(ElementHandle element, int format, const void* data,
                                                uint32_t vertex_count, uint32_t vertex_size) {
    std::shared_ptr<CpuBuffer> buffer;
    {
        std::lock_guard<std::mutex> lock(_rec->mutex);
        buffer = std::make_shared<CpuBuffer>(_rec, ++_rec->buffers_created, BK_VERTEX, vertex_size, vertex_count, 0,
                                             _rec->elements.name(element));
        buffer->_element = element;
        buffer->_format = format;
        CpuRecorder::prune(_rec->buffers);
        _rec->buffers.push_back(buffer);
    }
    if (data && buffer->byte_size()) {
        std::lock_guard<std::mutex> lock(buffer->_mutex);
        std::memcpy(buffer->_bytes.data(), data, buffer->byte_size());
        buffer->_version = next_version();
    }
    return buffer;
}

StructuredBuffer CpuBackend::createIndexBuffer(const uint32_t* indices, uint32_t count) {
    std::shared_ptr<CpuBuffer> buffer;
    {
        std::lock_guard<std::mutex> lock(_rec->mutex);
        buffer = std::make_shared<CpuBuffer>(_rec, ++_rec->buffers_created, BK_INDEX, sizeof(uint32_t), count, 0, "");
        CpuRecorder::prune(_rec->buffers);
        _rec->buffers.push_back(buffer);
    }
    if (indices && buffer->byte_size()) {
        std::lock_guard<std::mutex> lock(buffer->_mutex);
        std::memcpy(buffer->_bytes.data(), indices, buffer->byte_size());
        buffer->_version = next_version();
    }
    return buffer;
}

TextureArrayPtr CpuBackend::openTextureArray(const std::vector<std::string>& names, const char* name,
                                             const char* tag) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    bool any = std::any_of(names.begin(), names.end(), [](const std::string& n) { return !n.empty(); });
    if (!_rec->textures_available || !any) return nullptr;
    auto texture = std::make_shared<CpuTextureArray>(names, name ? name : "", tag ? tag : "");
    CpuRecorder::prune(_rec->textures);
    _rec->textures.push_back(texture);
    return texture;
}

void CpuBackend::beginTechnique(const ShaderPtr& shader, TechniqueHandle technique, int pass) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    _rec->current_shader = std::dynamic_pointer_cast<CpuShader>(shader);
    _rec->bound = CpuRecorder::Bound();
    Command c;
    c.type = Command::BeginTechnique;
    c.shader = _rec->current_shader;
    c.handle = technique;
    c.name = _rec->techniques.name(technique);
    c.pass = pass;
    _rec->record_locked(std::move(c));
}

namespace {
Command variable_command(Command::Type type, int handle, const CpuRecorder::HandleTable& table) {
    Command c;
    c.type = type;
    c.handle = handle;
    c.name = table.name(handle);
    return c;
}
}  // namespace

void CpuBackend::bindBuffer(VariableHandle variable, const StructuredBuffer& buffer) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    Command c = variable_command(Command::BindBuffer, variable, _rec->variables);
    c.buffer = buffer;
    if (!c.name.empty()) _rec->bound.buffers[c.name] = buffer;
    _rec->record_locked(std::move(c));
}

void CpuBackend::bindTexture(VariableHandle variable, const TextureArrayPtr& texture) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    Command c = variable_command(Command::BindTexture, variable, _rec->variables);
    c.texture = texture;
    _rec->record_locked(std::move(c));
}

void CpuBackend::setFloat(VariableHandle variable, float value) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    Command c = variable_command(Command::SetFloat, variable, _rec->variables);
    c.f = value;
    if (!c.name.empty()) _rec->bound.floats[c.name] = value;
    _rec->record_locked(std::move(c));
}

void CpuBackend::setInt(VariableHandle variable, int value) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    Command c = variable_command(Command::SetInt, variable, _rec->variables);
    c.i = value;
    _rec->record_locked(std::move(c));
}

void CpuBackend::setMatrix(VariableHandle variable, const osg::Matrixf& value) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    Command c = variable_command(Command::SetMatrix, variable, _rec->variables);
    c.matrix = value;
    _rec->record_locked(std::move(c));
}

void CpuBackend::bindVertexBuffer(ElementHandle element, const StructuredBuffer& buffer) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    Command c = variable_command(Command::BindVertexBuffer, element, _rec->elements);
    c.buffer = buffer;
    _rec->record_locked(std::move(c));
}

void CpuBackend::bindIndexBuffer(const StructuredBuffer& buffer) {
    Command c;
    c.type = Command::BindIndexBuffer;
    c.buffer = buffer;
    _rec->record(std::move(c));
}

void CpuBackend::commit() {
    Command c;
    c.type = Command::Commit;
    _rec->record(std::move(c));
}

namespace {

const char* const ANIMATION_COMPUTE_SHADER = "animator/animation_compute.fx";

int define_int(const CpuShader& shader, const char* name, int fallback) {
    const std::string v = shader.define(name);
    if (v.empty()) return fallback;
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    return end && *end == '\0' && n >= 0 && n <= (1 << 20) ? static_cast<int>(n) : fallback;
}

}  // namespace

void CpuBackend::dispatch(int pass, uint32_t x, uint32_t y, uint32_t z) {
    Command c;
    c.type = Command::Dispatch;
    c.pass = pass;
    c.x = x;
    c.y = y;
    c.z = z;
    std::shared_ptr<CpuShader> shader;
    CpuRecorder::Bound bound;
    {
        std::lock_guard<std::mutex> lock(_rec->mutex);
        shader = _rec->current_shader;
        if (shader && shader->file() == ANIMATION_COMPUTE_SHADER) bound = _rec->bound;
        _rec->record_locked(std::move(c));
    }
    if (!shader || shader->file() != ANIMATION_COMPUTE_SHADER) return;

    // The animation passes run here, on the bound buffers, each locked for the pass.
    std::vector<std::shared_ptr<CpuBuffer>> buffers;
    auto buffer_of = [&](const char* name) -> CpuBuffer* {
        auto it = bound.buffers.find(name);
        auto b = it != bound.buffers.end() ? std::dynamic_pointer_cast<CpuBuffer>(it->second) : nullptr;
        if (!b) return nullptr;
        if (std::find(buffers.begin(), buffers.end(), b) == buffers.end()) buffers.push_back(b);
        return b.get();
    };
    CpuAnimationCompute::Bindings b;
    b.num_nodes = define_int(*shader, "NUM_NODES", 0);
    b.max_node_path = define_int(*shader, "MAX_NODE_PATH", 1);
    b.max_stack = define_int(*shader, "MAX_ANIMATIONS_STACK_SIZE", 100);
    auto time = bound.floats.find("model_time");
    b.model_time = time != bound.floats.end() ? time->second : 0.0f;
    struct Slot {
        const char* name;
        CpuAnimationCompute::In* in;
        CpuAnimationCompute::Out* out;
    };
    const Slot slots[] = {{"animations", &b.animations, nullptr},
                          {"clips_info", &b.clips_info, nullptr},
                          {"node_paths", &b.node_paths, nullptr},
                          {"masks", &b.masks, nullptr},
                          {"per_instance_data", &b.per_instance_data, nullptr},
                          {"per_instance_animations", &b.per_instance_animations, nullptr},
                          {"instance_indices", &b.instance_indices, nullptr},
                          {"local_transforms", &b.local_transforms, nullptr},
                          {"local_transforms_rw", nullptr, &b.local_transforms_rw},
                          {"model_transforms_rw", nullptr, &b.model_transforms_rw},
                          {"per_instance_data_rw", nullptr, &b.per_instance_data_rw},
                          {"timeline", nullptr, &b.timeline}};
    std::vector<std::pair<const Slot*, CpuBuffer*>> found;
    for (const Slot& slot : slots)
        if (CpuBuffer* buffer = buffer_of(slot.name)) found.emplace_back(&slot, buffer);
    std::sort(buffers.begin(), buffers.end());
    std::vector<std::unique_lock<std::mutex>> locks;
    for (const auto& buffer : buffers) locks.emplace_back(buffer->_mutex);
    for (const auto& [slot, buffer] : found) {
        if (slot->in) *slot->in = {buffer->_bytes.data(), buffer->_bytes.size()};
        if (slot->out) *slot->out = {buffer->_bytes.data(), buffer->_bytes.size()};
        if (slot->in == &b.animations) b.animations_version = buffer->_version;
        if (slot->in == &b.clips_info) b.clips_version = buffer->_version;
    }
    CpuAnimationCompute::dispatch(pass, b, x);
    for (const auto& [slot, buffer] : found)
        if (slot->out) buffer->_version = next_version();  // the pass wrote it
}

void CpuBackend::drawIndexedInstanced(uint32_t index_count, uint32_t instance_count) {
    Command c;
    c.type = Command::DrawIndexedInstanced;
    c.x = index_count;
    c.y = instance_count;
    _rec->record(std::move(c));
}

void CpuBackend::endPass() {
    Command c;
    c.type = Command::EndPass;
    _rec->record(std::move(c));
}

void CpuBackend::drawLines(const osg::Vec3f* points, size_t count, const osg::Matrixf& transform,
                           const osg::Vec4f& color, unsigned pattern, bool depth_test) {
    Command c;
    c.type = Command::DrawLines;
    if (points && count) c.points.assign(points, points + count);
    c.matrix = transform;
    c.color = color;
    c.pattern = pattern;
    c.depth_test = depth_test;
    _rec->record(std::move(c));
}

std::vector<Command> CpuBackend::commands() const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    return _rec->commands;
}

std::vector<Command> CpuBackend::commands(Command::Type type) const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    std::vector<Command> out;
    for (const auto& c : _rec->commands)
        if (c.type == type) out.push_back(c);
    return out;
}

size_t CpuBackend::count(Command::Type type) const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    return static_cast<size_t>(std::count_if(_rec->commands.begin(), _rec->commands.end(),
                                             [&](const Command& c) { return c.type == type; }));
}

std::vector<std::shared_ptr<CpuBuffer>> CpuBackend::buffers() const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    return CpuRecorder::alive(_rec->buffers);
}

std::vector<std::shared_ptr<CpuBuffer>> CpuBackend::buffers_tagged(const std::string& tag) const {
    std::vector<std::shared_ptr<CpuBuffer>> out;
    for (auto& b : buffers())
        if (b->tag() == tag) out.push_back(b);
    return out;
}

uint64_t CpuBackend::buffers_created() const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    return _rec->buffers_created;
}

std::vector<std::shared_ptr<CpuShader>> CpuBackend::shaders() const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    return _rec->shaders;
}

std::vector<std::shared_ptr<CpuTextureArray>> CpuBackend::texture_arrays() const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    return CpuRecorder::alive(_rec->textures);
}

std::string CpuBackend::technique_name(TechniqueHandle handle) const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    return _rec->techniques.name(handle);
}

std::string CpuBackend::variable_name(VariableHandle handle) const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    return _rec->variables.name(handle);
}

std::string CpuBackend::element_name(ElementHandle handle) const {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    return _rec->elements.name(handle);
}

void CpuBackend::clear() {
    std::vector<Command> dropped;
    std::lock_guard<std::mutex> lock(_rec->mutex);
    dropped.swap(_rec->commands);
}

void CpuBackend::reset() {
    std::vector<Command> dropped;
    std::vector<std::shared_ptr<CpuShader>> shaders;
    std::lock_guard<std::mutex> lock(_rec->mutex);
    dropped.swap(_rec->commands);
    shaders.swap(_rec->shaders);
    _rec->buffers.clear();
    _rec->textures.clear();
    _rec->current_shader.reset();
}

void CpuBackend::fail_shader(const std::string& file) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    _rec->failing_shaders.insert(file);
}

void CpuBackend::set_texture_arrays_available(bool available) {
    std::lock_guard<std::mutex> lock(_rec->mutex);
    _rec->textures_available = available;
}

}  // namespace render
