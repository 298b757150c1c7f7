#include "fuzz/FuzzWorld.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/model/CharacterModelStatic.h"
#include "host/Log.h"
#include "host/Vfs.h"

namespace fuzz {

namespace {

// Names of the sample clips, which the sample blend spaces, overrides, graph and route planner name.
const char* const CLIPS[] = {"idle",           "idle_look", "turn_left", "turn_right", "walk_loop_fast",
                             "walk_loop_slow", "walk_start", "walk_stop", "wave"};

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

World& World::get() {
    static World* world = new World();  // lives as long as the process
    return *world;
}

World::World() {
    orn::set_log_to_stderr(std::getenv("FUZZ_VERBOSE") != nullptr);
    // Every input is written as a file: in memory where the system has a memory file system (a file
    // on disk costs milliseconds to open on a busy machine). The folder goes when the process ends.
    const std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/animator-fuzz-XXXXXX";
    const char* dir = mkdtemp(pattern.data());
    _root = dir ? dir : base + "/animator-fuzz";
    static const std::string root = _root;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
    for (const char* folder : {"", "/blend_space", "/override", "/graph"})
        std::filesystem::create_directories(_root + "/animations/" + TYPE + folder);
    std::filesystem::create_directories(_root + "/models");
    put(std::string("animations/") + TYPE + ".skel",
        read_text(std::string(ANIMATOR_DATA_DIR) + "/animations/biped_lua.skel"));
    for (const char* clip : CLIPS)
        put(std::string("animations/") + TYPE + "/" + clip + ".lua",
            "orn_character_animation = { rate = 30, duration = 2, animation = {} }");
    ornvfs::mount((_root + "/animations").c_str(), "/animations/", true, "fuzz", true);
    ornvfs::mount((_root + "/models").c_str(), "/models/", true, "fuzz", true);
}

void World::put(const std::string& relative, const uint8_t* data, size_t size) const {
    std::ofstream out(_root + "/" + relative, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void World::put(const std::string& relative, const std::string& text) const {
    put(relative, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::unique_ptr<Animator::AnimationManager> World::load_type() const {
    auto manager = std::make_unique<Animator::AnimationManager>(TYPE);
    try {
        manager->init();
    } catch (const std::exception&) {
        // A graph naming an unknown state throws by design; nothing may be left running.
    }
    return manager;
}

Animator::AnimationManager& World::library() const {
    static Animator::AnimationManager* manager = load_type().release();  // lives as long as the process
    return *manager;
}

void World::load_model(const std::string& file) const {
    orn::ref_ptr<Animator::CharacterModelStatic> model(
        new Animator::CharacterModelStatic(file.c_str(), ("/models/" + file).c_str()));
    model->load_async();
    Animator::CharacterModelCookie character(model.get());
    character.set_idle(1.0f);
}

}  // namespace fuzz
