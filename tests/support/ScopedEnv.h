#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace glb::test {

/// Sets an environment variable of this process (every platform).
inline void setEnv(const std::string& name, const std::string& value)
{
#ifdef _WIN32
    ::_putenv_s(name.c_str(), value.c_str());
#else
    ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

/// Removes an environment variable of this process (every platform).
inline void unsetEnv(const std::string& name)
{
#ifdef _WIN32
    ::_putenv_s(name.c_str(), ""); // an empty value removes it
#else
    ::unsetenv(name.c_str());
#endif
}

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
            setEnv(m_name, *value);
        } else {
            unsetEnv(m_name);
        }
#ifdef _WIN32
        ::_tzset();
#else
        ::tzset();
#endif
    }

    std::string m_name;
    std::optional<std::string> m_old;
};

} // namespace glb::test
