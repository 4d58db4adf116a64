#pragma once

#include "app/ErrorText.h"
#include "app/MessageBoxes.h"
#include "common/Error.h"

#include <QWidget>
#include <exception>

namespace glb::app {

/// Runs `command` where an event enters the window: the one place that catches. An error
/// that comes out first ends any mouse grab; then EAbort shows nothing, every other error
/// is shown in the error box. The window carries on either way.
template <typename Command> void runGuarded(Command&& command) noexcept
{
    const auto releaseMouseGrab = [] {
        if (QWidget* grabber = QWidget::mouseGrabber()) {
            grabber->releaseMouse();
        }
    };
    try {
        command();
    } catch (const EAbort&) {
        releaseMouseGrab();
    } catch (const Error& error) {
        releaseMouseGrab();
        showError(errorBoxText(error));
    } catch (const std::exception& error) {
        releaseMouseGrab();
        showError(errorBoxText(error));
    }
}

} // namespace glb::app
