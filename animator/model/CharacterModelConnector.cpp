#include "animator/model/CharacterModelConnector.h"

#include <cmath>

#include "animator/instance/CharacterModelCookie.h"
#include "animator/library/AnimationManager.h"
#include "animator/model/CharacterModelBase.h"
#include "animator/util/Clock.h"
#include "animator/util/MathUtils.h"

namespace Animator {

namespace {

osg::Matrixf to_matrix(const wPosition3<float>& p) {
    osg::Matrixf m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c) m(r, c) = p.m[r][c];
    m(0, 3) = 0.0f;
    m(1, 3) = 0.0f;
    m(2, 3) = 0.0f;
    m(3, 3) = 1.0f;
    return m;
}

osg::Matrixd to_matrixd(const osg::Matrixf& m) {
    osg::Matrixd d;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) d(r, c) = m(r, c);
    d(0, 3) = 0.0;
    d(1, 3) = 0.0;
    d(2, 3) = 0.0;
    d(3, 3) = 1.0;
    return d;
}

CharacterModelCookie* character_cookie(const Graphics::ModelInstance* instance) {
    if (!instance) return nullptr;
    model::ModelCookie* cookie = instance->getCookie();
    if (!cookie || cookie->getType() != CharacterModelCookie::type) return nullptr;
    return static_cast<CharacterModelCookie*>(cookie);
}

}  // namespace

CharacterModelConnector::CharacterModelConnector(CharacterModelBase* model, const std::string& name)
    : _name(name), _model(model) {
    resolve_node_id();
}

CharacterModelConnector::~CharacterModelConnector() = default;

bool CharacterModelConnector::is_connector_name(const std::string& node_name) {
    return node_name.size() >= 7 && node_name.find("__conn_") != std::string::npos;
}

void CharacterModelConnector::resolve_node_id() {
    AnimationManager* manager = _model ? _model->get_animation_manager() : nullptr;
    _node_id = manager ? manager->get_node_id(_name) : -1;
}

wPosition3<float> CharacterModelConnector::get_position(CharacterModelCookie* cookie, float t) const {
    AnimationManager* manager = _model ? _model->get_animation_manager() : nullptr;
    if (!cookie || !manager || cookie->get_stack_size() <= 0) return wPosition3<float>();
    const osg::Vec2f window = cookie->get_timeline_window();
    if (window.y() > 0.0f) t = std::fmod(t - window.x(), window.y()) + window.x();
    return to_Position3(manager->get_node_world_pos(cookie, _name, t));
}

wPosition3<float> CharacterModelConnector::getWorldPosition(const Graphics::ModelInstance* instance) const {
    return get_position(character_cookie(instance), static_cast<float>(get_model_time()));
}

osg::Matrixf CharacterModelConnector::getRelativePosition(const Graphics::ModelInstance& instance) const {
    return to_matrix(getWorldPosition(&instance)) * instance.getMatrix();
}

osg::Matrixd CharacterModelConnector::getRelativePositionD(const Graphics::ModelInstance& instance) const {
    return to_matrixd(getRelativePosition(instance));
}

osg::Matrixd CharacterModelConnector::getWorldPositionD() const {
    return to_matrixd(to_matrix(getWorldPosition(nullptr)));
}

}  // namespace Animator
