#include "animator/plugin/Plugin.h"

#include <cstdint>
#include <string>

#include <assimp/DefaultLogger.hpp>
#include <assimp/Logger.hpp>

#include "animator/model/CharacterModelBase.h"
#include "animator/model/CharacterModelStatic.h"
#include "animator/util/Log.h"
#include "host/ImGuiReg.h"
#include "host/LuaConfig.h"
#include "host/Vfs.h"

namespace Animator {

bool model_viewer = false;
RandomObject randomizer;

namespace {

constexpr const char* MODEL_EXTENSION = ".chanimgpu";
constexpr const char* MODELS_DIR = "/models/";
constexpr const char* MODELS_SUBDIR = "/models/models/";

uint32_t g_gui_handle = 0;
bool g_gui_registered = false;

// The extension of a path's file part, from its last '.', dot included; empty when there is none.
std::string path_extension(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    const size_t file_start = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot < file_start) return std::string();
    return path.substr(dot);
}

}  // namespace

Graphics::Model* character_model_factory(const char* name_in) {
    if (!name_in) return nullptr;
    std::string name = name_in;
    std::string ext = path_extension(name);
    if (ext.empty()) {
        // The one candidate extension, looked for under the first directory only.
        if (ornvfs::exists(MODELS_DIR + name + MODEL_EXTENSION)) {
            name += MODEL_EXTENSION;
            ext = MODEL_EXTENSION;
        }
    }
    if (orn::toLower(ext) != MODEL_EXTENSION) return nullptr;

    std::string path = MODELS_DIR + name;
    if (!ornvfs::exists(path)) {
        path = MODELS_SUBDIR + name;
        if (!ornvfs::exists(path)) {
            log_message(LOG_TAG, LOG_ERROR, "file '%s' does not exist", name.c_str());
            return nullptr;
        }
    }
    auto* model = new CharacterModelStatic(name.c_str(), path.c_str());
    model->load_async();
    return model;
}

}  // namespace Animator

extern "C" void init_graphics_plugin() {
    using namespace Animator;
    lua_State* L = globalConfig;
    const int top = L ? lua_gettop(L) : 0;
    if (L) {
        Lua::Config cfg(L);
        lua_pushvalue(L, LUA_GLOBALSINDEX);
        if (cfg.open("options.graphics.AnimationsPaths")) {
            lua_pushnil(L);
            while (cfg.next()) {
                std::string dir;
                cfg.iterate_pop(dir);
                if (ornvfs::mount(dir.c_str(), "/animations/", true, nullptr, false) == ornvfs::invalid_mount)
                    log_message(LOG_TAG, LOG_ERROR, "error mounting dir '%s'", dir.c_str());
            }
            lua_pop(L, 1);  // the table; the globals stay current
        }

        bool statistics = false;
        cfg.get("animator.statistics_enabled");
        cfg.pop(statistics);
        CharacterModelBase::_statistics_enabled = statistics;
    }

    Assimp::DefaultLogger::create("", Assimp::Logger::VERBOSE, aiDefaultLogStream_FILE | aiDefaultLogStream_DEBUGGER,
                                  nullptr);
    Assimp::DefaultLogger::get()->setLogSeverity(Assimp::Logger::VERBOSE);

    Graphics::Models::inst().regFactory(&character_model_factory);

    g_gui_handle = ImGui::orn::reg([]() -> ImGui::orn::reg_lambda_call_result {
        CharacterModelBase::gui();
        return static_cast<ImGui::orn::reg_lambda_call_result>(1);
    });
    g_gui_registered = true;

    if (L) lua_settop(L, top);
}

extern "C" void deinit_graphics_plugin() {
    using namespace Animator;
    if (g_gui_registered) {
        ImGui::orn::unreg(g_gui_handle);
        g_gui_registered = false;
    }
    ornvfs::unmount_by_tag("Animator");
    Graphics::Models::inst().unregFactory(&character_model_factory);
}
