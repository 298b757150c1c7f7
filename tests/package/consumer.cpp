// Loads the sample skeleton type through the installed package: the reference host's file system and
// CPU back-end, the plug-in's animation library. Usage: consumer DATA_DIR. Exit 0 when the library
// loads its clips and state graph without an error and the package's shaders are there.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "animator/library/AnimationManager.h"
#include "host/Log.h"
#include "host/Render.h"
#include "host/Vfs.h"
#include "refhost/CpuBackend.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DATA_DIR\n", argv[0]);
        return 2;
    }
    int errors = 0;
    orn::set_log_to_stderr(false);
    const int sink = orn::add_log_sink([&errors](const char* tag, int severity, const char* text) {
        if (severity <= 8) {
            ++errors;
            std::printf("error [%s] %s\n", tag ? tag : "", text ? text : "");
        }
    });
    render::set_backend(std::make_shared<render::CpuBackend>());
    const std::string animations = std::string(argv[1]) + "/animations";
    if (ornvfs::mount(animations.c_str(), "/animations/", true, "consumer", true) == ornvfs::invalid_mount) {
        std::printf("can not mount %s\n", animations.c_str());
        return 1;
    }
    int clips = 0;
    bool graph = false;
    {
        Animator::AnimationManager& biped = Animator::get_animation_manager("biped");
        clips = biped.get_num_animations();
        graph = biped.get_graph() != nullptr;
        Animator::destroy_animation_managers();
    }
    ornvfs::unmount_by_tag("consumer");
    render::set_backend(nullptr);
    orn::remove_log_sink(sink);
    const bool shaders = std::filesystem::exists(std::string(ANIMATOR_PACKAGE_SHADERS) + "/animator/animation_compute.fx");
    std::printf("animator %s: biped has %d clips, %s graph, shaders %s, %d errors\n", ANIMATOR_PACKAGE_VERSION, clips,
                graph ? "a" : "no", shaders ? "installed" : "missing", errors);
    return clips > 0 && graph && shaders && errors == 0 ? 0 : 1;
}
