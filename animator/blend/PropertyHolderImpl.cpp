#include "animator/blend/PropertyHolderImpl.h"

namespace Animator {

PropertyHolderImpl::PropertyHolderImpl() : _properties(8) { _properties.max_load_factor(1.0f); }

void PropertyHolderImpl::reg_property(const std::string& name, float value) { _properties.emplace(name, value); }

float PropertyHolderImpl::get_property(const std::string& name) { return _properties[name]; }

void PropertyHolderImpl::set_property(const std::string& name, float value) { _properties[name] = value; }

}  // namespace Animator
