// The instance registry of a character model: dense instance ids, the per-instance GPU records and
// one shared pool of sample records with a free chain.
#pragma once
#include <cstdint>
#include <vector>

#include "animator/blend/ShaderBlendSpace2D.h"
#include "animator/instance/InstanceData.h"

namespace Animator {

class CharacterModelCookie;

struct BlendSpacePool {
    int32_t free_head = -1;
    std::vector<ShaderBlendSpace2D> records;
};

class CharacterModelReflection {
public:
    explicit CharacterModelReflection(void* owner = nullptr);
    virtual ~CharacterModelReflection();

    virtual BlendSpacePool& get_blend_spaces();
    virtual void update_instance(CharacterModelCookie* cookie);
    virtual void register_instance(CharacterModelCookie* cookie);
    virtual void unregister_instance(CharacterModelCookie* cookie);
    virtual void release_blend_space(int index);
    virtual int add_blend_space(const ShaderBlendSpace2D& record);
    virtual void on_instance_added(CharacterModelCookie* cookie);

    const std::vector<InstanceData>& get_per_instance_data() const { return _per_instance_data; }
    const std::vector<CharacterModelCookie*>& get_cookies() const { return cookies; }
    const std::vector<int32_t>& get_free_ids() const { return free_ids; }
    bool is_changed() const { return changed; }
    void set_changed(bool c) { changed = c; }
    // Bounds-checked pool record (throws std::out_of_range).
    const ShaderBlendSpace2D& get_record(int index) const { return pool.records.at(index); }
    // The pool record of an index, or null for an index outside the pool.
    const ShaderBlendSpace2D* find_record(int index) const {
        return index >= 0 && static_cast<size_t>(index) < pool.records.size() ? &pool.records[index] : nullptr;
    }

protected:
    void* owner;
    std::vector<CharacterModelCookie*> cookies;
    BlendSpacePool pool;
    std::vector<InstanceData> _per_instance_data;
    bool changed = false;
    std::vector<int32_t> free_ids;
};

}  // namespace Animator
