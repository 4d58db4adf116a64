#include "common/SendCancel.h"

namespace glb {

void SendCancel::cancel()
{
    {
        const std::lock_guard lock(m_mutex);
        m_cancelled = true;
    }
    m_changed.notify_all();
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
