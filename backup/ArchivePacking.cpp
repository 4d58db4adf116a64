#include "backup/ArchivePacking.h"

#include "backup/folders/FolderRoutines.h"
#include "common/Error.h"
#include "common/ScopeGuard.h"

#include <atomic>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>

namespace glb::backup {

namespace {

constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

/// What the packing threads share: the next job to take and the first failure in job order.
class Packing
{
public:
    Packing(const std::vector<ArchiveJob>& jobs, const std::filesystem::path& pastaEnvio,
            const std::function<void(std::size_t)>& bytesRead)
        : m_jobs(jobs)
        , m_pastaEnvio(pastaEnvio)
        , m_bytesRead(bytesRead)
    {
    }

    /// Takes jobs in order and packs them with `writer` until none is left that may start.
    void work(archive::TZipFile& writer)
    {
        for (;;) {
            const std::size_t index = m_next.fetch_add(1);
            if (index >= m_jobs.size() || index > m_firstFailed.load()) {
                return;
            }
            writer.setPieceCallback([this, index](std::size_t bytes) {
                if (bytes > 0 && m_bytesRead) {
                    m_bytesRead(bytes);
                }
                return index < m_firstFailed.load(); // a job before this one failed: stop here
            });
            try {
                const ArchiveJob& job = m_jobs[index];
                // No archive of the send may empty another, whatever names the file system
                // takes for one: each is a new file, and one that exists is an error.
                writer.setNewFilesOnly(true);
                writer.Open(m_pastaEnvio / pathFromText(job.nomeArquivo), archive::TZipMode::zmWrite);
                CompactarPasta(writer, job.pasta);
                writer.Close();
            } catch (const archive::EZipStopped&) {
                // Stopped for an earlier job's failure, which is the one to raise.
            } catch (...) {
                fail(index, std::current_exception());
            }
            writer.setPieceCallback({});
        }
    }

    /// The first failure in job order, if any.
    void raiseFirstFailure() const
    {
        if (m_failure) {
            std::rethrow_exception(m_failure);
        }
    }

private:
    void fail(std::size_t index, std::exception_ptr failure)
    {
        const std::lock_guard lock(m_mutex);
        if (index < m_firstFailed.load()) {
            m_firstFailed.store(index);
            m_failure = std::move(failure);
        }
    }

    const std::vector<ArchiveJob>& m_jobs;
    const std::filesystem::path& m_pastaEnvio;
    const std::function<void(std::size_t)>& m_bytesRead;
    std::atomic<std::size_t> m_next{0};
    std::atomic<std::size_t> m_firstFailed{kNone};
    std::mutex m_mutex;
    std::exception_ptr m_failure; // guarded by m_mutex until every thread has ended
};

} // namespace

void packArchives(const std::vector<ArchiveJob>& jobs, const std::vector<archive::TZipFile*>& writers,
                  const std::filesystem::path& pastaEnvio, const std::function<void(std::size_t bytes)>& bytesRead)
{
    if (jobs.empty() || writers.empty()) {
        return;
    }
    Packing packing(jobs, pastaEnvio, bytesRead);
    std::vector<std::thread> threads;
    threads.reserve(writers.size() - 1);
    // The threads use this frame: they are joined on every way out.
    const ScopeExit joinAll([&threads] {
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    for (std::size_t k = 1; k < writers.size(); ++k) {
        threads.emplace_back([&packing, writer = writers[k]] { packing.work(*writer); });
    }
    packing.work(*writers.front());
    for (std::thread& thread : threads) {
        thread.join();
    }
    threads.clear();
    packing.raiseFirstFailure();
}

} // namespace glb::backup
