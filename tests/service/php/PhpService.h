#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace glb::test {

/// The PHP backup service (backup_service.php, or another router script) under `php -S` on
/// 127.0.0.1, started in the constructor, ready once it accepts connections, stopped in the
/// destructor. A test built for Windows and run under Wine has the build machine start it
/// (wine_host.py): paths in its settings and environment are the build machine's.
class PhpService
{
public:
    struct Options
    {
        /// Environment of the service (GLB_BACKUP_DIR, GLB_REPLY_TEXT, GLB_FAULT_TEXT).
        std::vector<std::pair<std::string, std::string>> environment;
        /// php.ini settings, "name=value".
        std::vector<std::string> settings = {"post_max_size=2G", "memory_limit=4G"};
        /// The script `php -S` serves every request with; empty for backup_service.php.
        std::string script;
    };

    explicit PhpService(const Options& options);
    ~PhpService();
    PhpService(const PhpService&) = delete;
    PhpService& operator=(const PhpService&) = delete;

    std::uint16_t port() const noexcept { return m_port; }
    /// The service's endpoint, "http://127.0.0.1:<port>/web/backup_antigo.php".
    std::string url() const { return address() + "/web/backup_antigo.php"; }
    /// "http://127.0.0.1:<port>", for a client that reaches the service as its proxy.
    std::string address() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    /// The process of the service.
    long pid() const noexcept { return m_pid; }

private:
    long m_pid = -1;
    std::uint16_t m_port = 0;
};

} // namespace glb::test
