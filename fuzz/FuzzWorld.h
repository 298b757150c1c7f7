// The skeleton-type folder the fuzz harnesses feed their inputs into: the sample Lua skeleton
// ("biped_lua") with one small clip per sample clip name, mounted at "/animations/", and a models folder
// at "/models/". Each harness writes its input as one file of that folder and runs the loader of that
// file: the descriptor and clip harnesses feed it to the one loader of a library loaded once per
// process, the skeleton harnesses to the skeleton loader of a fresh manager (see
// Animator::AnimationManagerFuzzAccess); the model harnesses load one model per input, whose library
// (the registry's) loads with the first and is kept.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "animator/library/AnimationManager.h"

namespace fuzz {

class World {
public:
    // The world of this process, made on first use.
    static World& get();

    // Writes (replaces) a file under the world's root: "animations/..." or "models/...".
    void put(const std::string& relative, const uint8_t* data, size_t size) const;
    void put(const std::string& relative, const std::string& text) const;

    // Loads the type "biped_lua" from the folder as it stands (a fresh library, not the registry's).
    std::unique_ptr<Animator::AnimationManager> load_type() const;
    // The type "biped_lua" as the world first had it (no input among its files), loaded on first use
    // and kept for the whole process.
    Animator::AnimationManager& library() const;
    // Loads the model "/models/<file>" through both stages, places one character on it and lets it go.
    void load_model(const std::string& file) const;

    static constexpr const char* TYPE = "biped_lua";

private:
    World();
    std::string _root;
};

}  // namespace fuzz
