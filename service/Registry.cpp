#include "service/Registry.h"

#include "service/ServiceErrors.h"

#include <algorithm>

namespace glb::service {

Registry& Registry::global()
{
    static Registry registry;
    return registry;
}

void Registry::note(RegistrationStep::Kind kind, const std::string& name)
{
    const auto same = [&](const RegistrationStep& s) { return s.kind == kind && s.name == name; };
    if (std::find_if(m_steps.begin(), m_steps.end(), same) == m_steps.end())
        m_steps.push_back({kind, name});
}

void Registry::registerInterface(InterfaceEntry entry)
{
    note(RegistrationStep::Kind::Interface, entry.key);
    const auto it = std::find_if(m_interfaces.begin(), m_interfaces.end(),
                                 [&](const InterfaceEntry& e) { return e.key == entry.key; });
    if (it == m_interfaces.end()) {
        m_interfaces.push_back(std::move(entry));
        return;
    }
    // A repeated registration must not drop an action registered for it meanwhile.
    if (entry.soapAction.empty())
        entry.soapAction = std::move(it->soapAction);
    *it = std::move(entry);
}

void Registry::registerDefaultSoapAction(std::string_view key, std::string action)
{
    const auto it =
        std::find_if(m_interfaces.begin(), m_interfaces.end(), [&](const InterfaceEntry& e) { return e.key == key; });
    if (it == m_interfaces.end())
        throw EInterfaceNotSupported::notRegistered();
    note(RegistrationStep::Kind::DefaultSoapAction, it->key);
    it->soapAction = std::move(action);
}

void Registry::registerType(TypeEntry entry)
{
    addType(RegistrationStep::Kind::Type, std::move(entry));
}

void Registry::registerClass(TypeEntry entry)
{
    addType(RegistrationStep::Kind::Class, std::move(entry));
}

void Registry::addType(RegistrationStep::Kind kind, TypeEntry entry)
{
    note(kind, entry.name);
    const auto it =
        std::find_if(m_types.begin(), m_types.end(), [&](const TypeEntry& e) { return e.name == entry.name; });
    if (it == m_types.end())
        m_types.push_back(std::move(entry));
    else
        *it = std::move(entry);
}

const InterfaceEntry* Registry::findInterface(std::string_view key) const
{
    const auto it =
        std::find_if(m_interfaces.begin(), m_interfaces.end(), [&](const InterfaceEntry& e) { return e.key == key; });
    return it == m_interfaces.end() ? nullptr : &*it;
}

const TypeEntry* Registry::findType(std::string_view name) const
{
    const auto it = std::find_if(m_types.begin(), m_types.end(), [&](const TypeEntry& e) { return e.name == name; });
    return it == m_types.end() ? nullptr : &*it;
}

} // namespace glb::service
