#pragma once

#include "common/Platform.h"

#include <mutex>
#include <string>
#include <utility>

namespace glb::test {

/// What KeepAwake objects ask of the system and give back while this object lives, as text:
/// "requested+" (granted) or "requested-" (not), "released+" (what was held given back) or
/// "released-" (nothing was held), in order, one space apart. The observer set before is put
/// back at the end.
class KeepAwakeEvents
{
public:
    KeepAwakeEvents()
        : m_previous(platform::setKeepAwakeObserver([this](const platform::KeepAwakeEvent& event) {
            const std::lock_guard<std::mutex> guard(m_lock);
            m_text += m_text.empty() ? "" : " ";
            m_text += event.kind == platform::KeepAwakeEvent::Kind::Requested ? "requested" : "released";
            m_text += event.granted ? "+" : "-";
        }))
    {
    }
    ~KeepAwakeEvents() { platform::setKeepAwakeObserver(std::move(m_previous)); }
    KeepAwakeEvents(const KeepAwakeEvents&) = delete;
    KeepAwakeEvents& operator=(const KeepAwakeEvents&) = delete;

    std::string text() const
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        return m_text;
    }

private:
    mutable std::mutex m_lock;
    std::string m_text;
    platform::KeepAwakeObserver m_previous;
};

} // namespace glb::test
