// runCommand and hostPath for the Windows build. Under Wine a Windows program can start a
// Linux program but not read its output or exit status, so the command goes to the build
// machine's wine_host.py over HTTP on 127.0.0.1; on Windows itself (no wine_host named) it
// runs with the C library's _popen.
#include "tests/support/Command.h"
#include "tests/support/WineHost.h"

#include <cstdlib>
#include <curl/curl.h>
#include <fstream>
#include <string>

namespace glb::test {

namespace {

/// "http://127.0.0.1:<port>" of the wine_host.py that GLB_WINE_HOST_FILE names, or empty;
/// read once, as the fixture writes it before the first test starts.
const std::string& wineHost()
{
    static const std::string host = [] {
        const char* file = std::getenv("GLB_WINE_HOST_FILE");
        std::ifstream in(file != nullptr ? file : "");
        int port = 0;
        return in >> port ? "http://127.0.0.1:" + std::to_string(port) : std::string();
    }();
    return host;
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out)
{
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

std::size_t header(char* data, std::size_t size, std::size_t count, void* out)
{
    const std::string line(data, size * count);
    const std::string name = "X-Exit-Status:";
    if (line.compare(0, name.size(), name) == 0) {
        *static_cast<int*>(out) = std::atoi(line.c_str() + name.size());
    }
    return size * count;
}

} // namespace

bool haveWineHost()
{
    return !wineHost().empty();
}

std::string wineHostPost(const std::string& what, const std::string& body, int* status)
{
    const std::string& host = wineHost();
    std::string reply;
    CURL* curl = curl_easy_init();
    if (host.empty() || curl == nullptr) {
        if (curl != nullptr) {
            curl_easy_cleanup(curl);
        }
        *status = -1;
        return "no wine_host (GLB_WINE_HOST_FILE)";
    }
    const std::string url = host + what;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, status);
    long code = 0;
    const CURLcode done = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(curl);
    if (done != CURLE_OK || code != 200) {
        *status = -1;
        return "wine_host " + what + " failed: " + curl_easy_strerror(done) + " " + reply;
    }
    return reply;
}

CommandResult runCommand(const std::string& command)
{
    CommandResult result;
    if (!wineHost().empty()) {
        result.output = wineHostPost("/run", command, &result.status);
        return result;
    }
    return runThroughPipe(command);
}

std::string hostPath(const std::filesystem::path& path)
{
    // As UTF-8, the build machine's file names.
    const std::u8string absolute = std::filesystem::absolute(path).u8string();
    const std::string windows(absolute.begin(), absolute.end());
    if (wineHost().empty() || windows.size() < 2 || windows[1] != ':') {
        return windows;
    }
    std::string root;
    const char drive = static_cast<char>(windows[0] | 0x20);
    if (drive == 'c') {
        const char* prefix = std::getenv("WINEPREFIX");
        const char* home = std::getenv("HOME");
        root = prefix != nullptr ? std::string(prefix) : std::string(home != nullptr ? home : "") + "/.wine";
        root += "/drive_c";
    } else if (drive != 'z') {
        return windows;
    }
    std::string rest = windows.substr(2);
    for (char& c : rest) {
        if (c == '\\') {
            c = '/';
        }
    }
    return root + rest;
}

} // namespace glb::test
