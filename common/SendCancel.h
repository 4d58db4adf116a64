#pragma once

#include "common/Error.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace glb {

/// The user's request to stop a send. The window's thread cancels; the threads that pack and
/// send look at it between pieces and wait on it where a send pauses, so a cancel is seen
/// within a piece's time. Thread-safe.
class SendCancel
{
public:
    /// Asks the send to stop, and ends any wait at once.
    void cancel();
    bool cancelled() const noexcept { return m_cancelled.load(); }
    /// A new send: not cancelled.
    void reset();

    /// Raises ESendCancelled (the backup not sent) once the send has been cancelled.
    void check() const;
    /// Waits `duration`, or less when the send is cancelled meanwhile; false when it was.
    bool waitFor(std::chrono::milliseconds duration) const;

    /// While it lives, a Wake has its function called once the send is cancelled (at once when
    /// it already is): for a wait of a library that the cancel must end. One at a time.
    class Wake
    {
    public:
        Wake(const SendCancel& cancel, std::function<void()> wake);
        ~Wake();
        Wake(const Wake&) = delete;
        Wake& operator=(const Wake&) = delete;

    private:
        const SendCancel& m_cancel;
    };

private:
    std::atomic<bool> m_cancelled{false};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    mutable std::function<void()> m_wake; ///< of the Wake alive, called under m_mutex; must not block
};

/// A send stopped by the user. It says what reached the service: before the last byte of the
/// request left, nothing the service can act on; after it, while the reply was awaited, the
/// service may have received the backup.
class ESendCancelled : public Error
{
public:
    /// "Envio cancelado. O backup não foi enviado."
    static ESendCancelled beforeRequestSent();
    /// Cancelled while the service's reply was awaited, the whole request sent.
    static ESendCancelled afterRequestSent();

    /// True when the whole request had gone out.
    bool requestSent() const noexcept { return m_requestSent; }

private:
    ESendCancelled(std::string message, bool requestSent)
        : Error(std::move(message))
        , m_requestSent(requestSent)
    {
    }
    bool m_requestSent = false;
};

} // namespace glb
