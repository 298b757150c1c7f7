// Reference GUI registration: registered functions run once per frame inside a Dear ImGui frame of
// the host's own context (created on the first frame). The frame is left rendered in that context, so
// a renderer may draw ImGui::GetDrawData() afterwards (render::GlBackend::draw_imgui).
#include "host/ImGuiReg.h"

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include <imgui.h>

namespace ImGui {
namespace orn {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<uint32_t, gui_function> functions;  // handles increase, so this is registration order
    uint32_t next_handle = 1;
    ImGuiContext* context = nullptr;
    std::atomic<bool> in_frame{false};
    std::atomic<float> display_width{1280.0f};
    std::atomic<float> display_height{720.0f};
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: plug-ins unregister from static destructors
    return *r;
}

void begin_frame(Registry& r) {
    if (!r.context) {
        r.context = ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.LogFilename = nullptr;
        unsigned char* pixels = nullptr;
        int width = 0, height = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &width, &height);
    }
    ImGui::SetCurrentContext(r.context);
    ImGuiIO& io = ImGui::GetIO();
    io.DisplaySize = ImVec2(r.display_width.load(), r.display_height.load());
    io.DeltaTime = 1.0f / 60.0f;
    ImGui::NewFrame();
}

}  // namespace

uint32_t reg(gui_function f) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    uint32_t handle = r.next_handle++;
    if (r.next_handle == 0) r.next_handle = 1;
    r.functions.emplace(handle, std::move(f));
    return handle;
}

void unreg(uint32_t handle) {
    Registry& r = registry();
    gui_function dropped;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.functions.find(handle);
    if (it == r.functions.end()) return;
    dropped = std::move(it->second);
    r.functions.erase(it);
}

size_t registered_count() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.functions.size();
}

void set_display_size(float width, float height) {
    Registry& r = registry();
    if (!(width > 0.0f && height > 0.0f)) return;
    r.display_width.store(width);
    r.display_height.store(height);
}

void run_frame() {
    Registry& r = registry();
    if (r.in_frame.exchange(true)) return;  // a GUI function asked for a frame inside a frame
    std::vector<std::pair<uint32_t, gui_function>> due;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        due.assign(r.functions.begin(), r.functions.end());
    }
    begin_frame(r);
    for (auto& entry : due) {
        {
            // Skip a function that an earlier one unregistered during this frame.
            std::lock_guard<std::mutex> lock(r.mutex);
            if (!r.functions.count(entry.first)) continue;
        }
        if (!entry.second) continue;
        if (entry.second() == unregister_me) unreg(entry.first);
    }
    ImGui::Render();
    r.in_frame.store(false);
}

}  // namespace orn
}  // namespace ImGui
