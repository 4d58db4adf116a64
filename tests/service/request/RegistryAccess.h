#pragma once

#include "service/Registry.h"

#include <vector>

namespace glb::service {

/// What the registry recorded: every registration, in order, repeated ones included.
struct RegistryAccess
{
    static const std::vector<RegistrationStep>& steps(const Registry& registry) { return registry.m_steps; }
};

} // namespace glb::service
