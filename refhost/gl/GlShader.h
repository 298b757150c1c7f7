// A shader of the OpenGL back-end: one linked GL program per declared pass of an effect file, with
// the storage blocks, uniforms and vertex inputs of each program found by name. Handles come from
// counters shared by all shaders of a back-end, so a handle names one (shader, name) pair and a
// handle of another shader matches nothing here. The host's frame uniforms (the light and the shadow
// map, refhost/shaders/README.md) are found by name too, but are the back-end's to set, not variables.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "host/Render.h"

namespace render {

class EffectFile;
class GlThread;

class GlShader : public Shader {
public:
    // The handle counters of one back-end.
    struct Handles {
        std::atomic<uint32_t> shaders{1};
        std::atomic<int> techniques{0};
        std::atomic<int> variables{0};
        std::atomic<int> elements{0};
    };
    enum SlotKind : int { SLOT_BLOCK, SLOT_UNIFORM, SLOT_SAMPLER };
    // Where a variable sits in one program: a storage block's binding point, a uniform's location
    // and type, or a sampler's location and texture unit.
    struct Slot {
        SlotKind kind;
        uint32_t binding;  // block binding point or texture unit
        int location;      // uniforms and samplers
        uint32_t type;     // GL type of a uniform or sampler
    };
    struct Input {
        int location;
        uint32_t type;  // GL type of the vertex input
    };
    // The frame uniforms the back-end gives every program that declares them.
    enum HostUniform : int { LIGHT_DIRECTION, LIGHT_VIEW_PROJECTION, SHADOW_MAP, SHADOW_MAP_READY, HOST_UNIFORMS };
    struct Program {
        uint32_t name = 0;
        bool compute = false;
        std::map<VariableHandle, Slot> slots;
        std::map<ElementHandle, Input> inputs;
        int host_locations[HOST_UNIFORMS] = {-1, -1, -1, -1};  // -1: not declared (or of another type)
        uint32_t shadow_unit = 0;                             // the texture unit of "shadow_map"
    };

    // Compiles and links every pass of `effect`; on the GL thread. Null when a stage does not compile
    // or a pass does not link, with the file, technique, pass and the driver's log logged.
    static std::shared_ptr<GlShader> build(const std::string& file, const ShaderDefines& defines,
                                           const EffectFile& effect, Handles& handles,
                                           const std::shared_ptr<GlThread>& thread);
    // Deletes the programs on the GL thread.
    ~GlShader() override;

    const std::string& file() const override { return _file; }
    const ShaderDefines& defines() const override { return _defines; }
    uint32_t id() const override { return _id; }
    TechniqueHandle getTechnique(const char* name) override;
    VariableHandle getVariable(const char* name) override;
    ElementHandle getElement(const char* name) override;

    // The program of a pass of one of this shader's techniques; null when there is none.
    const Program* program(TechniqueHandle technique, int pass) const;
    // The names handles stand for here (empty when a handle is not this shader's).
    std::string technique_name(TechniqueHandle handle) const;
    std::string variable_name(VariableHandle handle) const;
    // The serial of the GL thread whose context holds the programs.
    uint64_t owner() const { return _owner; }

private:
    GlShader(std::string file, ShaderDefines defines, uint32_t id, std::weak_ptr<GlThread> thread, uint64_t owner);

    struct Technique {
        std::string name;
        std::map<int, Program> passes;
    };
    std::string _file;
    ShaderDefines _defines;
    uint32_t _id;
    std::weak_ptr<GlThread> _thread;
    uint64_t _owner;
    // Filled by build() and never changed afterwards, so the look-ups need no lock.
    std::map<std::string, TechniqueHandle> _technique_handles;
    std::map<TechniqueHandle, Technique> _techniques;
    std::map<std::string, VariableHandle> _variables;
    std::map<std::string, ElementHandle> _elements;
};

}  // namespace render
