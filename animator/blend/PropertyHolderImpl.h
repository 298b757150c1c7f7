// Property holder keeping its properties in a hash map (names compared byte for byte).
#pragma once
#include <string>
#include <unordered_map>

#include "animator/blend/IPropertyHolder.h"

namespace Animator {

class PropertyHolderImpl : public IPropertyHolder {
public:
    PropertyHolderImpl();
    void reg_property(const std::string& name, float value) override;
    float get_property(const std::string& name) override;
    void set_property(const std::string& name, float value) override;
    ~PropertyHolderImpl() override = default;

private:
    std::unordered_map<std::string, float> _properties;
};

}  // namespace Animator
