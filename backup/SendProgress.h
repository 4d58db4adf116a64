#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace glb::backup {

/// How far one send is, counted where the work happens: the bytes of the farm folders' files
/// that the archive writers have read, and the bytes of the request handed to the HTTP
/// library, each against what its stage has to do (the files' sizes, known before packing;
/// the request's length, known before its first byte). The threads that do the work add to
/// it and the window reads it; every field is atomic, so the window holds no lock while it
/// paints.
class SendProgress
{
public:
    /// A new send: nothing counted yet.
    void reset() noexcept;
    /// Packing starts, with `bytes` of files to read.
    void startPacking(std::uint64_t bytes) noexcept;
    /// `bytes` more have been read by a writer.
    void packed(std::uint64_t bytes) noexcept;
    /// `sent` of the request's `total` bytes have been handed to the HTTP library.
    void sending(std::uint64_t sent, std::uint64_t total) noexcept;

    /// The share of the whole send done so far, as a whole percentage; none before anything is
    /// counted. Never less than an earlier answer, and 100 only once the whole request has been
    /// handed over. Packing and sending count for their part of the whole by their bytes,
    /// weighed by what a byte of each costs (kPackedByteWeight, kSentByteWeight); until the
    /// request's length is known it is taken as kRequestPerFileByte of the files' bytes.
    std::optional<int> percent() const noexcept;

    /// The upload broke before its last byte and waits until `at` to try attempt `attempt` of
    /// `attempts`; its bytes count again from 0 when it starts.
    void retrying(int attempt, int attempts, std::chrono::steady_clock::time_point at) noexcept;

    /// A broken upload's wait for its next attempt.
    struct Retry
    {
        int attempt = 0;  ///< the attempt to come, from 2
        int attempts = 0; ///< of how many
        std::chrono::steady_clock::time_point at;
    };
    /// The last retry announced, none while the first attempt runs.
    std::optional<Retry> retry() const noexcept;

    /// The request's bytes handed over so far and its length, 0 until it is known.
    std::uint64_t requestSent() const noexcept { return m_sent.load(); }
    std::uint64_t requestLength() const noexcept { return m_toSend.load(); }

    // What a byte of each stage costs, in the proportion bench_send measured on a two-core
    // machine (docs/bench.md): the writers side by side read 86 MB of files a second, and the
    // request goes out at 113 MB a second to a service on the same machine, so a file byte
    // counts 4 and a request byte 3 (1.32 to 1). Over a farm's own link the request goes out
    // slower; the share then moves slower once it does, and never goes back.
    static constexpr std::uint64_t kPackedByteWeight = 4;
    static constexpr std::uint64_t kSentByteWeight = 3;
    /// The request's bytes per file byte in the sample installation (archives of 44 % of the
    /// files, Base64 and its line breaks 1.44 times that).
    static constexpr double kRequestPerFileByte = 0.64;

private:
    std::atomic<bool> m_started{false};
    std::atomic<std::uint64_t> m_toPack{0};
    std::atomic<std::uint64_t> m_packed{0};
    std::atomic<std::uint64_t> m_sent{0};
    std::atomic<std::uint64_t> m_toSend{0}; ///< 0 until the request's length is known
    mutable std::atomic<int> m_shown{-1};   ///< the largest share answered so far
    std::atomic<int> m_attempt{0};          ///< 0 while the first attempt runs
    std::atomic<int> m_attempts{0};
    std::atomic<std::chrono::steady_clock::rep> m_retryAt{0};
};

} // namespace glb::backup
