// Characters of the sample biped placed by the host and drawn frame after frame by the reference
// host's frame on the recording back-end: the set-up the rendering and statistics tests share.
#pragma once
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "refhost/Frame.h"
#include "tests/support/SampleBiped.h"

namespace test {

// A character drawn where the host puts it (its cookie does not move it).
class PlacedCharacter : public Graphics::ModelInstance {
public:
    PlacedCharacter(std::unique_ptr<Animator::CharacterModelCookie> c, const osg::Vec3f& at)
        : cookie(std::move(c)), where(at) {
        cookie->set_extern_pos_update(true);
    }
    model::ModelCookie* getCookie() const override { return cookie.get(); }
    osg::Matrixf getMatrix() const override { return osg::Matrixf::translate(where); }
    std::unique_ptr<Animator::CharacterModelCookie> cookie;
    osg::Vec3f where;
};

class SampleScene : public ::testing::Test {
protected:
    void SetUp() override {
        model = biped_model();
        backend = biped_backend();
        render::set_backend(backend);
        Graphics::SetDistanceFactors(1.0f, 0.0f);
        // The sample levels end at 25 m and 80 m.
        camera = refhost::Frame::look_at(osg::Vec3d(0, 1.5, 0), osg::Vec3d(0, 1, 10), 45, 1, 0.1, 500);
        light = refhost::Frame::look_at(osg::Vec3d(0, 50, 0), osg::Vec3d(0, 0, 1), 45, 1, 0.1, 500);
    }

    PlacedCharacter& place(const osg::Vec3f& at) {
        placed.push_back(std::make_unique<PlacedCharacter>(new_character(), at));
        return *placed.back();
    }
    // One frame of the placed characters and of `more`.
    refhost::Frame::Counts frame(refhost::Frame::Options options = {}, std::vector<refhost::Frame::Item> more = {}) {
        for (auto& p : placed) more.push_back({model, p.get()});
        backend->clear();
        return host.draw(more, camera, light, 1.0, options);
    }

    Animator::CharacterModelStatic* model = nullptr;
    std::shared_ptr<render::CpuBackend> backend;
    ManualClock clock{1.0};
    Graphics::Camera camera, light;
    // Frame numbers keep growing from test to test, as a host's do (the model keeps its batches).
    static uint64_t next_first_frame() {
        static uint64_t first = 0;
        return first += 100000;
    }
    refhost::Frame host{next_first_frame()};
    std::vector<std::unique_ptr<PlacedCharacter>> placed;
};

}  // namespace test
