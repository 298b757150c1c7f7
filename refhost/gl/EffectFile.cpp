// Effect-file technique lines and stage sources (see EffectFile.h).
#include "refhost/gl/EffectFile.h"

#include <cctype>
#include <sstream>

namespace render {

namespace {

bool is_identifier(const std::string& text) {
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

bool parse_index(const std::string& text, int& out) {
    if (text.empty() || text.size() > 6) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    out = std::stoi(text);
    return true;
}

const char* const stage_names[] = {"compute", "vertex", "fragment"};
const char* const stage_defines[] = {"COMPUTE_STAGE", "VERTEX_STAGE", "FRAGMENT_STAGE"};

// A define's text on one line: line breaks in a value would end the directive early.
std::string one_line(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\n' || c == '\r') c = ' ';
    return out;
}

}  // namespace

const char* EffectFile::stage_name(Stage stage) { return stage_names[stage]; }

bool EffectFile::parse(const std::string& source, std::string& error) {
    _source = source;
    _passes.clear();
    std::istringstream lines(source);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::istringstream words(line);
        std::vector<std::string> tokens;
        for (std::string word; words >> word;) tokens.push_back(word);
        if (tokens.size() >= 2 && tokens[0] == "#" && tokens[1] == "pragma") {
            tokens.erase(tokens.begin());
            tokens[0] = "#pragma";
        }
        if (tokens.size() < 2 || tokens[0] != "#pragma" || tokens[1] != "technique") continue;

        const std::string where = "line " + std::to_string(number) + ": ";
        Pass pass;
        if (tokens.size() < 6 || tokens[3] != "pass") {
            error = where + "expected '#pragma technique <Name> pass <index> <stage>:<entry> ...'";
            return false;
        }
        pass.technique = tokens[2];
        if (!is_identifier(pass.technique)) {
            error = where + "technique name '" + pass.technique + "' is not an identifier";
            return false;
        }
        if (!parse_index(tokens[4], pass.index)) {
            error = where + "pass index '" + tokens[4] + "' is not a number";
            return false;
        }
        for (size_t i = 5; i < tokens.size(); ++i) {
            const size_t colon = tokens[i].find(':');
            const std::string stage = tokens[i].substr(0, colon);
            const std::string entry = colon == std::string::npos ? std::string() : tokens[i].substr(colon + 1);
            int kind = -1;
            for (int s = 0; s < 3; ++s)
                if (stage == stage_names[s]) kind = s;
            if (kind < 0 || !is_identifier(entry)) {
                error = where + "'" + tokens[i] + "' is not <stage>:<entry> with a stage of compute, vertex, fragment";
                return false;
            }
            for (const StageEntry& seen : pass.stages)
                if (seen.stage == kind) {
                    error = where + "the " + stage + " stage is given twice";
                    return false;
                }
            pass.stages.push_back({static_cast<Stage>(kind), entry});
        }
        bool compute = false, graphics = false;
        for (const StageEntry& s : pass.stages) (s.stage == COMPUTE ? compute : graphics) = true;
        if (compute && graphics) {
            error = where + "a pass is either compute or vertex and fragment, not both";
            return false;
        }
        for (const Pass& seen : _passes)
            if (seen.technique == pass.technique && seen.index == pass.index) {
                error = where + "technique '" + pass.technique + "' declares pass " + tokens[4] + " twice";
                return false;
            }
        _passes.push_back(std::move(pass));
    }
    if (_passes.empty()) {
        error = "no '#pragma technique' line";
        return false;
    }
    return true;
}

std::string EffectFile::stage_source(const Pass& pass, const StageEntry& stage, const ShaderDefines& defines) const {
    std::string text = "#version 450 core\n";
    for (const ShaderDefine& d : defines) text += "#define " + one_line(d.name) + " " + one_line(d.value) + "\n";
    text += std::string("#define ") + stage_defines[stage.stage] + " 1\n";
    text += "#define TECHNIQUE_" + pass.technique + " 1\n";
    text += "#define PASS_INDEX " + std::to_string(pass.index) + "\n";
    text += "#define " + stage.entry + " main\n";
    text += "#line 1\n";
    text += _source;
    return text;
}

}  // namespace render
