#include "app/UiEvents.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

namespace glb::app {

void processPendingUiEvents()
{
    QCoreApplication::processEvents();
}

void processUiEventsUntil(StepEnd& end)
{
    QAbstractEventDispatcher* const dispatcher = QAbstractEventDispatcher::instance();
    if (dispatcher == nullptr) {
        end.wait(); // a thread without events has nothing to keep going
        return;
    }
    end.onReached([dispatcher] { dispatcher->wakeUp(); }); // wakeUp() is thread-safe
    while (!end.reached()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

} // namespace glb::app
