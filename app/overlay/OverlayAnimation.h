#pragma once

#include "app/gif/GifFile.h"

#include <QImage>
#include <QObject>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

class QImageReader;

namespace glb::app {

/// The overlay's animated GIF. Qt's reader decodes and composes the frames (disposal,
/// transparency); the delays come from the file itself. The delays are timed on a thread
/// of the animation's own that never draws: when a delay has passed it hands one frame
/// change to the thread that owns this object and waits until that thread has carried it
/// out, which it does the next time it processes events. So the animation stands still
/// while the user-interface thread is busy, and catches up by no more than one frame.
/// The loop is endless whatever repeat count the file states.
class OverlayAnimation : public QObject
{
    Q_OBJECT
public:
    /// Loads the file's structure and first frame. Raises EGifError.
    explicit OverlayAnimation(const QString& path, QObject* parent = nullptr);
    /// Stops the timer thread (see stop()).
    ~OverlayAnimation() override;

    OverlayAnimation(const OverlayAnimation&) = delete;
    OverlayAnimation& operator=(const OverlayAnimation&) = delete;

    /// The GIF's logical screen, the size of every composed frame.
    QSize screenSize() const { return {m_structure.screenWidth, m_structure.screenHeight}; }
    /// The number of images the file holds; fewer than two is a still picture.
    int frameCount() const { return static_cast<int>(m_structure.frameDelaysMs.size()); }
    /// Number of the frame on show, counted from 0 in the file.
    int currentFrame() const { return m_frame; }
    /// The composed frame on show.
    const QImage& currentImage() const { return m_image; }

    /// Starts the timer thread; does nothing for a still picture or when already started.
    void start();
    /// Stops the timer thread and waits for it to end. A frame change it has pending then
    /// becomes an empty step, so the wait never depends on this thread processing events.
    void stop();
    /// True between start() and stop() for an animated file.
    bool isRunning() const { return m_thread.joinable(); }

    /// Blocks the calling thread, without processing events, until a frame change is
    /// pending or `timeout` has passed; true when one is pending. For diagnostics and tests.
    bool waitForPendingChange(std::chrono::milliseconds timeout);

signals:
    /// A frame change has been carried out; `frame` is now on show.
    void frameChanged(int frame);

private:
    void timerLoop();
    void carryOutChange();
    void readNextFrame();
    int delayOfFrame(int frame) const;

    QString m_path;
    GifStructure m_structure;
    std::unique_ptr<QImageReader> m_reader;
    QImage m_image;
    int m_frame = 0;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false; // guarded by m_mutex
    bool m_pending = false;  // guarded by m_mutex
    int m_delayMs = 0;       // guarded by m_mutex
    std::thread m_thread;
};

} // namespace glb::app
