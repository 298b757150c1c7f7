// A renderer reset (event 1) while characters exist: the characters placed before it keep animating and
// drawing with their library, whose GPU data is made again when next needed; a request after the reset
// gets a freshly loaded library.
#include <gtest/gtest.h>

#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelConnector.h"
#include "animator/motion/AnimationController.h"
#include "host/Graphics.h"
#include "tests/support/SampleBiped.h"
#include "tests/support/TestSupport.h"

using namespace Animator;

namespace {

class Instance : public Graphics::ModelInstance {
public:
    explicit Instance(model::ModelCookie* c) : cookie(c) {}
    model::ModelCookie* getCookie() const override { return cookie; }
    osg::Matrixf getMatrix() const override { return osg::Matrixf(); }
    model::ModelCookie* cookie;
};

TEST(RendererReset, CharactersPlacedBeforeTheEventKeepWorkingAndNewRequestsGetAFreshLibrary) {
    test::ManualClock clock(0.5);
    CharacterModelStatic* model = test::biped_model();
    AnimationManager* library = model->get_animation_manager();
    ASSERT_NE(library, nullptr);
    auto character = test::new_character();
    AnimationController controller(character.get());
    auto* connector = dynamic_cast<CharacterModelConnector*>(model->GetConnector("biped_hand_R__conn_weapon"));
    ASSERT_NE(connector, nullptr);
    Instance instance(character.get());
    const osg::Vec3f hand = connector->getWorldPosition(&instance).position();
    library->compute({});
    ASSERT_TRUE(library->is_gpu_created());

    test::LogCapture log;
    Graphics::raiseRendererEvent(1);

    EXPECT_EQ(model->get_animation_manager(), library) << "the model keeps its library";
    EXPECT_FALSE(library->is_gpu_created()) << "its GPU data is released at the event";
    EXPECT_GT(library->get_num_animations(), 0);
    EXPECT_EQ(connector->getWorldPosition(&instance).position(), hand);
    character->get_correction(0.5f);
    controller.change_animation_state(0.5f, "S_Move", false);
    controller.update(0.6f, false);
    EXPECT_GT(character->get_stack_size(), 0);
    auto later = test::new_character();
    later->set_idle(0.6f);
    library->compute({});
    EXPECT_TRUE(library->is_gpu_created()) << "made again when next needed";

    AnimationManager* fresh = find_animation_manager("biped");
    ASSERT_NE(fresh, nullptr);
    EXPECT_NE(fresh, library);
    EXPECT_TRUE(fresh->is_loaded());
    EXPECT_EQ(fresh->get_num_animations(), library->get_num_animations());
}

}  // namespace
