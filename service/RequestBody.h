#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace glb::service {

/// A request body that is produced while it is sent: its exact size is known before the
/// first byte, and the bytes are pulled in pieces, so the whole body is never held at once.
class RequestBody
{
public:
    virtual ~RequestBody() = default;

    /// The number of bytes the body holds, exact.
    virtual std::uint64_t size() const = 0;
    /// Copies up to `capacity` of the next bytes into `buffer` and returns their count, which
    /// is 0 only at the end. Raises when the body cannot be produced as counted.
    virtual std::size_t read(char* buffer, std::size_t capacity) = 0;
    /// Starts again from the first byte (a redirect that repeats the POST).
    virtual void rewind() = 0;
};

/// A body held in memory, which must outlive it.
class MemoryBody : public RequestBody
{
public:
    explicit MemoryBody(std::string_view bytes) noexcept
        : m_bytes(bytes)
    {
    }

    std::uint64_t size() const override { return m_bytes.size(); }
    std::size_t read(char* buffer, std::size_t capacity) override;
    void rewind() override { m_offset = 0; }

private:
    std::string_view m_bytes;
    std::size_t m_offset = 0;
};

/// Told, on the thread that sends, that `sent` of a request's `total` bytes have been handed
/// to the HTTP library (after a rewind, counting starts again from 0).
using SendObserver = std::function<void(std::uint64_t sent, std::uint64_t total)>;

/// Another body as it is, telling `observer` of every piece read from it.
class ObservedBody : public RequestBody
{
public:
    ObservedBody(RequestBody& body, SendObserver observer)
        : m_body(body)
        , m_observer(std::move(observer))
    {
    }

    std::uint64_t size() const override { return m_body.size(); }
    std::size_t read(char* buffer, std::size_t capacity) override;
    void rewind() override;

private:
    RequestBody& m_body;
    SendObserver m_observer;
    std::uint64_t m_read = 0;
};

} // namespace glb::service
