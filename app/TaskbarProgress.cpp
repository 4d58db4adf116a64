#include "app/TaskbarProgress.h"

#include <algorithm>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <objbase.h>
#include <shobjidl.h>
#include <windows.h>
#endif

namespace glb::app {

#ifdef _WIN32

// The shell's taskbar list, with this thread's share of COM. Qt's windows platform has
// initialised COM (OLE) on the UI thread as a single-threaded apartment already: our
// CoInitializeEx only counts one more use of it, given back in the destructor, and keeps a
// program without that platform (an offscreen test) working.
struct TaskbarProgress::Taskbar
{
    Taskbar()
    {
        comInitialised = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE) >= 0;
        ITaskbarList3* made = nullptr;
        if (::CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&made)) >= 0) {
            if (made->HrInit() >= 0) {
                list = made;
            } else {
                made->Release();
            }
        }
    }
    ~Taskbar()
    {
        if (list != nullptr) {
            list->Release();
        }
        if (comInitialised) {
            ::CoUninitialize();
        }
    }
    Taskbar(const Taskbar&) = delete;
    Taskbar& operator=(const Taskbar&) = delete;

    bool show(HWND window, State state, int percent) const
    {
        if (list == nullptr) {
            return false;
        }
        constexpr ULONGLONG kWhole = 100;
        switch (state) {
        case State::None:
            return list->SetProgressState(window, TBPF_NOPROGRESS) >= 0;
        case State::Normal:
            return list->SetProgressValue(window, static_cast<ULONGLONG>(percent), kWhole) >= 0 &&
                   list->SetProgressState(window, TBPF_NORMAL) >= 0;
        case State::Paused:
            return list->SetProgressValue(window, static_cast<ULONGLONG>(percent), kWhole) >= 0 &&
                   list->SetProgressState(window, TBPF_PAUSED) >= 0;
        }
        return false;
    }

    bool comInitialised = false;
    ITaskbarList3* list = nullptr;
};

#else

struct TaskbarProgress::Taskbar
{
};

#endif

TaskbarProgress::TaskbarProgress(QWidget* widget)
    : m_widget(widget)
{
}

TaskbarProgress::~TaskbarProgress()
{
    if (m_state != State::None) {
        clear();
    }
}

void TaskbarProgress::setPercent(int percent)
{
    constexpr int kWhole = 100;
    m_percent = std::clamp(percent, 0, kWhole);
    if (m_state == State::None) {
        m_state = State::Normal;
    }
    show();
}

void TaskbarProgress::setPaused(bool paused)
{
    if (m_state != State::None) {
        m_state = paused ? State::Paused : State::Normal;
    }
    show();
}

void TaskbarProgress::clear()
{
    m_state = State::None;
    m_percent = 0;
    show();
}

void TaskbarProgress::show()
{
    m_shown = false;
#ifdef _WIN32
    if (m_widget == nullptr) {
        return;
    }
    if (!m_taskbar) {
        m_taskbar = std::make_unique<Taskbar>();
    }
    m_shown = m_taskbar->show(reinterpret_cast<HWND>(m_widget->window()->winId()), m_state, m_percent);
#endif
}

} // namespace glb::app
