// Host GUI registration: functions drawn once per frame with Dear ImGui.
#pragma once
#include <cstdint>
#include <functional>

namespace ImGui {
namespace orn {
enum reg_lambda_call_result : int { unregister_me = 0, keep_registered = 1 };
using gui_function = std::function<reg_lambda_call_result()>;
uint32_t reg(gui_function f);
void unreg(uint32_t handle);
size_t registered_count();
// Runs one GUI frame: every registered function once (the host program calls this).
void run_frame();
// The size in pixels the frames lay their windows out for (1280 x 720 until set).
void set_display_size(float width, float height);
}  // namespace orn
}  // namespace ImGui
