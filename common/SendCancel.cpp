#include "common/SendCancel.h"

namespace glb {

void SendCancel::cancel()
{
    {
        const std::lock_guard lock(m_mutex);
        m_cancelled = true;
        if (m_wake) {
            m_wake();
        }
    }
    m_changed.notify_all();
}

SendCancel::Wake::Wake(const SendCancel& cancel, std::function<void()> wake)
    : m_cancel(cancel)
{
    const std::lock_guard lock(m_cancel.m_mutex);
    if (m_cancel.m_cancelled) {
        wake();
    }
    m_cancel.m_wake = std::move(wake);
}

SendCancel::Wake::~Wake()
{
    const std::lock_guard lock(m_cancel.m_mutex);
    m_cancel.m_wake = nullptr;
}

void SendCancel::reset()
{
    const std::lock_guard lock(m_mutex);
    m_cancelled = false;
}

void SendCancel::check() const
{
    if (cancelled()) {
        throw ESendCancelled::beforeRequestSent();
    }
}

bool SendCancel::waitFor(std::chrono::milliseconds duration) const
{
    std::unique_lock lock(m_mutex);
    return !m_changed.wait_for(lock, duration, [this] { return m_cancelled.load(); });
}

ESendCancelled ESendCancelled::beforeRequestSent()
{
    return {"Envio cancelado. O backup não foi enviado.", false};
}

ESendCancelled ESendCancelled::afterRequestSent()
{
    return {"Envio cancelado enquanto a resposta do serviço era aguardada. O backup já tinha sido enviado por "
            "inteiro: o serviço pode tê-lo recebido.",
            true};
}

} // namespace glb
