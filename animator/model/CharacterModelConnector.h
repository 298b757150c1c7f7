// A named attachment point of a character model: a node of the mesh scene whose name holds "__conn_",
// placed by the animated skeleton of an instance at the current model time.
#pragma once
#include <string>

#include <osg/Matrixd>
#include <osg/Matrixf>

#include "host/Graphics.h"
#include "host/Position.h"

namespace Animator {

class CharacterModelBase;
class CharacterModelCookie;

class CharacterModelConnector : public Graphics::ModelConnector {
public:
    CharacterModelConnector(CharacterModelBase* model, const std::string& name);
    ~CharacterModelConnector() override;

    const char* name() const override { return _name.c_str(); }
    bool isValid() const override { return true; }
    osg::Matrixf getRelativePosition(const Graphics::ModelInstance& instance) const override;
    wPosition3<float> getWorldPosition(const Graphics::ModelInstance* instance) const override;
    osg::Matrixd getRelativePositionD(const Graphics::ModelInstance& instance) const override;
    osg::Matrixd getWorldPositionD() const override;
    bool isAnimated() const override { return false; }
    bool isDetached() const override { return false; }

    // The node id in the skeleton of the model's animation library (-1 when it is not a node there).
    int get_node_id() const { return _node_id; }
    void resolve_node_id();
    // The connector's position for a cookie at model time t (folded by the cookie's idle window).
    wPosition3<float> get_position(CharacterModelCookie* cookie, float t) const;

    // Whether a node name makes a connector.
    static bool is_connector_name(const std::string& node_name);

private:
    std::string _name;
    int _node_id = -1;
    CharacterModelBase* _model;
};

}  // namespace Animator
