// A render object of the animator plug-in: the host's render object that can also be drawn without
// a render context.
#pragma once
#include "host/Graphics.h"

namespace Animator {

class AnimatorRenderObject : public Graphics::IRenderObject {
public:
    // Draws with the pass remembered at submission, for a host that has no render context at hand.
    virtual void draw_without_context() = 0;
};

}  // namespace Animator
