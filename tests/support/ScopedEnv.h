#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace glb::test {

/// Sets (or, with nullopt, unsets) an environment variable for one scope and puts back
/// what it held. The time zone is read again each time, for TZ.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value)
        : m_name(name)
    {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        set(value);
    }
    ~ScopedEnv() { set(m_old); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    void set(const std::optional<std::string>& value)
    {
        if (value) {
            ::setenv(m_name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(m_name.c_str());
        }
        ::tzset();
    }

    std::string m_name;
    std::optional<std::string> m_old;
};

} // namespace glb::test
