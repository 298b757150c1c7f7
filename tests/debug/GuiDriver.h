// Drives Dear ImGui as a person would for the debug-window tests: a context of its own, a mouse moved,
// pressed and released frame after frame, controls found by moving the mouse over a window, and the
// text a window shows.
#pragma once
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <imgui.h>
#include <imgui_internal.h>

namespace test {

// A Dear ImGui context of its own with a mouse: every action runs whole frames of `draw`.
class Gui {
public:
    explicit Gui(std::function<void()> draw) : _draw(std::move(draw)), _previous(ImGui::GetCurrentContext()) {
        _context = ImGui::CreateContext();
        ImGui::SetCurrentContext(_context);
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.LogFilename = nullptr;
        io.DisplaySize = ImVec2(1024.0f, 768.0f);
        // Longer than the double-click time: two clicks in a row are two single clicks.
        io.DeltaTime = 0.35f;
        unsigned char* pixels = nullptr;
        int w = 0, h = 0;
        io.Fonts->GetTexDataAsRGBA32(&pixels, &w, &h);
    }
    ~Gui() {
        ImGui::DestroyContext(_context);
        ImGui::SetCurrentContext(_previous);
    }

    void frame() {
        ImGui::NewFrame();
        _draw();
        ImGui::Render();
    }
    // The lines of text window `name` shows, read back from its draw list as it was last drawn: each
    // glyph quad is matched with the font glyph of the same texture corners, glyphs are grouped into
    // lines by their pen's top and ordered by its x; a gap between glyphs becomes one space.
    std::vector<std::string> shown_lines(const char* name) {
        frame();  // a window that has just appeared draws nothing in its first frame
        frame();
        ImGuiWindow* w = window(name);
        const ImFont* font = ImGui::GetIO().Fonts->Fonts.empty() ? nullptr : ImGui::GetIO().Fonts->Fonts[0];
        if (!w || !font) return {};
        struct Placed {
            float x;
            float advance;
            char c;
        };
        std::map<float, std::vector<Placed>> rows;  // by the pen's top
        const ImDrawList& list = *w->DrawList;
        const ImDrawIdx* idx = list.IdxBuffer.Data;
        const ImDrawVert* vtx = list.VtxBuffer.Data;
        for (int i = 0; i + 6 <= list.IdxBuffer.Size; i += 3) {
            const ImDrawIdx v = idx[i];
            const bool quad = idx[i + 1] == v + 1 && idx[i + 2] == v + 2 && idx[i + 3] == v && idx[i + 4] == v + 2 &&
                              idx[i + 5] == v + 3 && v + 3 < list.VtxBuffer.Size;
            if (!quad) continue;
            const ImDrawVert& a = vtx[v];
            const ImDrawVert& c = vtx[v + 2];
            for (const ImFontGlyph& g : font->Glyphs) {
                if (!g.Visible || g.Codepoint > 127 || g.U0 != a.uv.x || g.V0 != a.uv.y || g.U1 != c.uv.x ||
                    g.V1 != c.uv.y)
                    continue;
                rows[std::round(a.pos.y - g.Y0)].push_back({a.pos.x - g.X0, g.AdvanceX, static_cast<char>(g.Codepoint)});
                i += 3;  // the quad's second triangle
                break;
            }
        }
        std::vector<std::string> lines;
        for (auto& row : rows) {
            auto& glyphs = row.second;
            std::sort(glyphs.begin(), glyphs.end(), [](const Placed& l, const Placed& r) { return l.x < r.x; });
            std::string line;
            for (size_t k = 0; k < glyphs.size(); ++k) {
                if (k > 0 && glyphs[k].x > glyphs[k - 1].x + glyphs[k - 1].advance + 0.5f) line += ' ';
                line += glyphs[k].c;
            }
            lines.push_back(line);
        }
        return lines;
    }
    void move(ImVec2 p) {
        ImGui::GetIO().MousePos = p;
        frame();
    }
    void button(bool down) {
        ImGui::GetIO().MouseDown[0] = down;
        frame();
        _items.clear();  // the layout may change with what the click did
    }
    void click(ImVec2 p) {
        move(p);
        button(true);
        button(false);
    }
    // Presses at `p`, moves by `dx` pixels in steps of `step`, releases.
    void drag(ImVec2 p, float dx, float step = 2.0f) {
        move(p);
        button(true);
        for (float done = 0.0f; std::fabs(done) < std::fabs(dx);) {
            done += dx > 0 ? step : -step;
            move(ImVec2(p.x + done, p.y));
        }
        button(false);
    }

    ImGuiWindow* window(const char* name) const { return ImGui::FindWindowByName(name); }
    // The id of an item labelled `label` in `window`, under the pushed ids `scope`: strings, "#N" for
    // an int N, "*N" for a pointer of value N.
    static ImGuiID id(ImGuiWindow* w, const std::vector<std::string>& scope, const std::string& label) {
        ImGuiID seed = w->ID;
        for (const std::string& s : scope) {
            if (!s.empty() && s[0] == '#' && s.size() > 1 && std::isdigit(static_cast<unsigned char>(s[1]))) {
                const int n = std::stoi(s.substr(1));
                seed = ImHashData(&n, sizeof n, seed);
            } else if (!s.empty() && s[0] == '*') {
                const void* p = reinterpret_cast<const void*>(static_cast<intptr_t>(std::stoi(s.substr(1))));
                seed = ImHashData(&p, sizeof p, seed);
            } else {
                seed = ImHashStr(s.c_str(), 0, seed);
            }
        }
        return ImHashStr(label.c_str(), 0, seed);
    }

    struct Box {
        ImVec2 min{std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
        ImVec2 max{-std::numeric_limits<float>::max(), -std::numeric_limits<float>::max()};
        ImVec2 centre() const { return ImVec2((min.x + max.x) / 2, (min.y + max.y) / 2); }
    };
    // Where the item `id` of window `name` answers the mouse, found by moving the mouse over the
    // window as a person looks for a control; false when nothing there answers to it.
    bool find(const char* name, ImGuiID item, Box& box) {
        auto& items = _items[name];
        if (items.empty()) {
            frame();  // a window that has just appeared finds its size and place in its first frames
            frame();
            ImGuiWindow* w = window(name);
            if (!w) return false;
            const ImVec2 from = w->Pos, size = w->Size;
            for (float y = from.y + 2; y < from.y + size.y; y += 5)
                for (float x = from.x + 2; x < from.x + size.x; x += 6) {
                    move(ImVec2(x, y));
                    const ImGuiID hovered = GImGui->HoveredId;
                    if (!hovered) continue;
                    Box& b = items[hovered];
                    b.min = ImVec2(std::min(b.min.x, x), std::min(b.min.y, y));
                    b.max = ImVec2(std::max(b.max.x, x), std::max(b.max.y, y));
                }
        }
        auto it = items.find(item);
        if (it == items.end()) return false;
        box = it->second;
        return true;
    }
    bool click_item(const char* name, ImGuiID item) {
        Box b;
        if (!find(name, item, b)) return false;
        click(b.centre());
        return true;
    }

private:
    std::function<void()> _draw;
    ImGuiContext* _previous;
    ImGuiContext* _context = nullptr;
    std::map<std::string, std::map<ImGuiID, Box>> _items;
};

}  // namespace test
