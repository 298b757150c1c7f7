// Named float properties that steer blend spaces (axis values, cycle counts).
#pragma once
#include <string>

namespace Animator {

class IPropertyHolder {
public:
    // Registers the property only when the name is new.
    virtual void reg_property(const std::string& name, float value) = 0;
    // A name not present is added with 0 and 0 is returned.
    virtual float get_property(const std::string& name) = 0;
    virtual void set_property(const std::string& name, float value) = 0;
    virtual ~IPropertyHolder() = default;
};

}  // namespace Animator
