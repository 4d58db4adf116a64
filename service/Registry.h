#pragma once

#include "common/Error.h"

#include <string>
#include <string_view>
#include <vector>

namespace glb::service {

/// An invokable interface as the proxy sees it.
struct InterfaceEntry
{
    std::string key;           ///< lookup key (the interface's GUID)
    std::string name;          ///< the interface's name
    std::string ns;            ///< namespace of its operation elements
    std::string encoding;      ///< encoding name stored with it (not used on the wire)
    std::string documentation; ///< no text for this system's interface
    std::string externalName;  ///< empty: the XML uses the interface's own names
    std::string soapAction;    ///< default SOAPAction, empty until registered
    std::vector<std::string> operations;
};

/// A remotable type and the XML name it is written under.
struct TypeEntry
{
    std::string name;         ///< the type's name in the code
    std::string ns;           ///< its XML namespace
    std::string xmlName;      ///< its XML name
    std::string externalName; ///< empty: no external name
    bool scalar = false;
    bool multiRef = true; ///< records are written as multi-reference elements
};

/// What was registered, in the order of registration (for checks of the start-up order).
struct RegistrationStep
{
    enum class Kind
    {
        Interface,
        DefaultSoapAction,
        Type,
        Class,
    };
    Kind kind;
    std::string name;
};

/// The type and interface registries of the service client. Filled at start-up and
/// read-only afterwards.
class Registry
{
public:
    /// The registry that RegisterBackupGlebariumTypes() fills and new proxies use.
    static Registry& global();

    /// Adds or replaces an interface; a replaced one keeps its place in the order.
    void registerInterface(InterfaceEntry entry);
    /// Sets the default SOAPAction of a registered interface.
    void registerDefaultSoapAction(std::string_view key, std::string action);
    /// Adds or replaces an array type.
    void registerType(TypeEntry entry);
    /// Adds or replaces a record class.
    void registerClass(TypeEntry entry);

    /// Null when no interface has the key.
    const InterfaceEntry* findInterface(std::string_view key) const;
    /// Null when no type or class has the name.
    const TypeEntry* findType(std::string_view name) const;

    /// Tests read the steps recorded (tests/service/request/RegistryAccess.h).
    friend struct RegistryAccess;

private:
    /// Types and classes share one table: a name is either.
    void addType(RegistrationStep::Kind kind, TypeEntry entry);
    void note(RegistrationStep::Kind kind, const std::string& name);

    std::vector<InterfaceEntry> m_interfaces;
    std::vector<TypeEntry> m_types;
    std::vector<RegistrationStep> m_steps;
};

} // namespace glb::service
