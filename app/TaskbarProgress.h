#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

namespace glb::app {

/// The progress of a long task on the taskbar button of a window. Windows: through the
/// shell's taskbar list (ITaskbarList3), made when first needed; the taskbar is a convenience,
/// so a failure anywhere leaves the button as it is and is otherwise ignored. Other
/// platforms show nothing. Used on the UI thread, where Qt has initialised COM. What was last
/// asked for is kept, for tests, whether or not a taskbar showed it.
class TaskbarProgress
{
public:
    enum class State
    {
        None,   ///< no progress on the button
        Normal, ///< progress of percent()
        Paused, ///< progress of percent(), marked as waiting (to retry, say)
    };

    /// Progress on the button of `widget`'s top-level window.
    explicit TaskbarProgress(QWidget* widget);
    /// Takes the progress off the button.
    ~TaskbarProgress();
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    /// Shows `percent` (held to 0..100); paused progress stays paused.
    void setPercent(int percent);
    /// Marks the progress as waiting, or as running again; no progress stays none.
    void setPaused(bool paused);
    /// Takes the progress off the button.
    void clear();

    State state() const noexcept { return m_state; }
    int percent() const noexcept { return m_percent; }
    /// Whether the system's taskbar took the last state (never, where there is none).
    bool shown() const noexcept { return m_shown; }

private:
    void show();

    struct Taskbar;
    QPointer<QWidget> m_widget;
    State m_state = State::None;
    int m_percent = 0;
    bool m_shown = false;
    std::unique_ptr<Taskbar> m_taskbar;
};

} // namespace glb::app
