#pragma once

#include "common/WorkerThread.h"

namespace glb::app {

/// Lets the calling thread's pending events be processed once.
void processPendingUiEvents();

/// Processes the calling thread's events (paints, timers, the overlay's frame changes) until
/// `end` is reached. The worker's end wakes the thread's event dispatcher, so the wait
/// neither polls nor misses an end that comes while events are being processed.
void processUiEventsUntil(StepEnd& end);

} // namespace glb::app
