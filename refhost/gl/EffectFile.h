// An effect file: GLSL 4.50 source with `#pragma technique` lines that declare the passes of its
// techniques and the entry function of each pass's stages; builds the text each stage compiles from.
#pragma once
#include <string>
#include <vector>

#include "host/Render.h"

namespace render {

class EffectFile {
public:
    enum Stage : int { COMPUTE = 0, VERTEX = 1, FRAGMENT = 2 };
    struct StageEntry {
        Stage stage;
        std::string entry;
    };
    struct Pass {
        std::string technique;
        int index = 0;
        std::vector<StageEntry> stages;  // in the order declared
    };

    // Reads the technique lines of `source`; false with `error` saying which line is wrong and why.
    bool parse(const std::string& source, std::string& error);

    const std::string& source() const { return _source; }
    // Every declared pass, in the order of the file.
    const std::vector<Pass>& passes() const { return _passes; }

    // The text one stage of a pass is compiled from: the version line, the defines in order, the
    // stage, technique and pass defines, the entry renamed to `main`, then the whole file.
    std::string stage_source(const Pass& pass, const StageEntry& stage, const ShaderDefines& defines) const;

    static const char* stage_name(Stage stage);  // "compute", "vertex", "fragment"

private:
    std::string _source;
    std::vector<Pass> _passes;
};

}  // namespace render
