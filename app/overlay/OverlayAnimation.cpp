#include "app/overlay/OverlayAnimation.h"

#include <QImageReader>
#include <QPointer>

namespace glb::app {

namespace {

std::unique_ptr<QImageReader> openReader(const QString& path)
{
    return std::make_unique<QImageReader>(path, QByteArrayLiteral("gif"));
}

} // namespace

OverlayAnimation::OverlayAnimation(const QString& path, QObject* parent)
    : QObject(parent)
    , m_path(path)
    , m_structure(readGifStructure(path))
    , m_reader(openReader(path))
{
    if (!m_reader->read(&m_image)) {
        throw EGifError::cannotDecode(path, m_reader->errorString());
    }
    m_delayMs = delayOfFrame(0);
}

OverlayAnimation::~OverlayAnimation()
{
    stop();
}

void OverlayAnimation::start()
{
    if (frameCount() < 2 || m_thread.joinable()) {
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = false;
        m_pending = false;
    }
    m_thread = std::thread([this] { timerLoop(); });
}

void OverlayAnimation::stop()
{
    if (!m_thread.joinable()) {
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_pending = false; // the posted change, if any, finds nothing to do
    }
    m_changed.notify_all();
    m_thread.join();
}

bool OverlayAnimation::waitForPendingChange(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_pending; });
}

void OverlayAnimation::timerLoop()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        // wait_until with a predicate returns early only for a stop, never for a spurious wake-up.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_delayMs);
        if (m_changed.wait_until(lock, deadline, [this] { return m_stopping; })) {
            break;
        }
        m_pending = true;
        QMetaObject::invokeMethod(this, &OverlayAnimation::carryOutChange, Qt::QueuedConnection);
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_pending || m_stopping; });
    }
}

void OverlayAnimation::carryOutChange()
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_pending) {
            return; // stopped meanwhile: the empty step
        }
    }
    readNextFrame();
    // The change is announced before the timer thread is released, so the next delay
    // starts only after everything the change does; a receiver may even destroy us.
    const QPointer<OverlayAnimation> alive(this);
    emit frameChanged(m_frame);
    if (alive.isNull()) {
        return;
    }
    {
        const std::lock_guard lock(m_mutex);
        m_delayMs = delayOfFrame(m_frame);
        m_pending = false;
    }
    m_changed.notify_all();
}

void OverlayAnimation::readNextFrame()
{
    QImage next;
    if (m_reader->read(&next)) {
        m_image = std::move(next);
        ++m_frame;
        return;
    }
    // Past the last frame (or a frame the decoder refuses): start over with the first.
    m_reader = openReader(m_path);
    if (m_reader->read(&next)) {
        m_image = std::move(next);
    }
    m_frame = 0;
}

int OverlayAnimation::delayOfFrame(int frame) const
{
    const auto index = static_cast<std::size_t>(frame);
    return animationDelayMs(index < m_structure.frameDelaysMs.size() ? m_structure.frameDelaysMs[index] : 0);
}

} // namespace glb::app
