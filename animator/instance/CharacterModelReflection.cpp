#include "animator/instance/CharacterModelReflection.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "animator/instance/CharacterModelCookie.h"

namespace Animator {

CharacterModelReflection::CharacterModelReflection(void* owner_) : owner(owner_) {}

CharacterModelReflection::~CharacterModelReflection() = default;

BlendSpacePool& CharacterModelReflection::get_blend_spaces() { return pool; }

void CharacterModelReflection::update_instance(CharacterModelCookie* cookie) {
    if (!cookie) return;
    const int id = cookie->get_id();
    if (id < 0 || id >= static_cast<int>(_per_instance_data.size())) return;
    _per_instance_data[id] = cookie->get_instance_data();
    changed = true;
}

void CharacterModelReflection::register_instance(CharacterModelCookie* cookie) {
    if (!cookie) return;
    InstanceData& data = cookie->get_instance_data();
    if (data.id == -1) {
        int id;
        if (!free_ids.empty()) {
            id = free_ids.back();  // kept in descending order: the last one is the smallest
            free_ids.pop_back();
            cookies[id] = cookie;
        } else {
            id = static_cast<int>(cookies.size());
            cookies.push_back(cookie);
        }
        data.id = id;
        if (id < static_cast<int>(_per_instance_data.size()))
            _per_instance_data[id] = data;
        else
            _per_instance_data.push_back(data);
    }
    on_instance_added(cookie);
    changed = true;
}

void CharacterModelReflection::unregister_instance(CharacterModelCookie* cookie) {
    if (!cookie) return;
    const int id = cookie->get_id();
    // Only the cookie registered under the id may give it back (a copy carries the same id).
    if (id < 0 || id >= static_cast<int>(cookies.size()) || cookies[id] != cookie) return;
    free_ids.push_back(id);
    cookies[id] = nullptr;
    _per_instance_data[id] = InstanceData();
    std::sort(free_ids.begin(), free_ids.end(), std::greater<int32_t>());
    changed = true;
}

void CharacterModelReflection::release_blend_space(int index) {
    ShaderBlendSpace2D& record = pool.records.at(index);
    std::memset(static_cast<void*>(&record), 0, sizeof(record));
    std::memcpy(static_cast<void*>(&record), &pool.free_head, sizeof(pool.free_head));
    pool.free_head = index;
    changed = true;
}

int CharacterModelReflection::add_blend_space(const ShaderBlendSpace2D& record) {
    changed = true;
    if (pool.free_head != -1) {
        const int index = pool.free_head;
        ShaderBlendSpace2D& slot = pool.records.at(index);
        int32_t next = -1;
        std::memcpy(&next, static_cast<const void*>(&slot), sizeof(next));
        pool.free_head = next;
        slot = record;
        return index;
    }
    pool.records.push_back(record);
    return static_cast<int>(pool.records.size()) - 1;
}

void CharacterModelReflection::on_instance_added(CharacterModelCookie*) {}

}  // namespace Animator
