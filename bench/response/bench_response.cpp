// Peak memory and time of decoding a reply of the largest size the transport accepts, for
// the shapes that make the parsed document largest against its text.
//
//   bench_response [KiB ...]      (default: the transport's limit)
//
// Every shape is a SOAP envelope whose response node holds the shape's content, filled up
// to the size: the parser builds the whole document, and the decoder then walks it (the
// reply's text is not found among the many children, so the response node is written out
// into the error's message, as a real reply of that shape would be). No entities: the
// decoder refuses any but the built-in five. Each shape runs in a child process of its own,
// so one peak does not hide the next.

#include "service/CurlTransport.h"
#include "service/ResponseDecoder.h"
#include "service/ServiceErrors.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace glb::service;

namespace {

long statusKb(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return -1;
}

const std::string kHead = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                          "<SOAP-ENV:Body><r>";
const std::string kTail = "</r></SOAP-ENV:Body></SOAP-ENV:Envelope>\n";

/// A short name from a counter: a letter, then base-36 digits.
std::string shortName(std::size_t n)
{
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name(1, static_cast<char>('a' + n % 26));
    for (n /= 26; n != 0; n /= 36) {
        name += kDigits[n % 36];
    }
    return name;
}

/// Appends the pieces `next(i)` for i = 0, 1, ... while the body stays within `size`.
std::string fill(std::size_t size, const std::function<std::string(std::size_t)>& next, std::string_view close = {})
{
    std::string body = kHead;
    const std::size_t room = size - kHead.size() - kTail.size() - close.size();
    for (std::size_t i = 0;; ++i) {
        const std::string piece = next(i);
        if (body.size() - kHead.size() + piece.size() > room) {
            break;
        }
        body += piece;
    }
    body += close;
    body += kTail;
    return body;
}

/// Elements of `perElement` attributes with distinct names (0: one element holds them all).
std::string attributeLists(std::size_t size, std::size_t perElement)
{
    return fill(
        size,
        [perElement](std::size_t i) {
            const std::size_t index = perElement == 0 ? i : i % perElement;
            std::string piece;
            if (index == 0) {
                piece.append(i == 0 ? "<a" : "/><a");
            }
            piece.append(" ").append(shortName(index)).append("=\"\"");
            return piece;
        },
        "/>");
}

struct Shape
{
    const char* name;
    std::function<std::string(std::size_t)> make;
};

std::vector<Shape> shapes()
{
    return {
        {"empty elements <a/>", [](std::size_t size) { return fill(size, [](std::size_t) { return "<a/>"; }); }},
        {"text and element x<a/>", [](std::size_t size) { return fill(size, [](std::size_t) { return "x<a/>"; }); }},
        {"elements with text <a>x</a>",
         [](std::size_t size) { return fill(size, [](std::size_t) { return "<a>x</a>"; }); }},
        {"distinct element names",
         [](std::size_t size) {
             return fill(size, [](std::size_t i) { return std::string("<").append(shortName(i)).append("/>"); });
         }},
        {"attribute lists, 2,000 a element", [](std::size_t size) { return attributeLists(size, 2000); }},
        {"one element with every attribute", [](std::size_t size) { return attributeLists(size, 0); }},
        {"id attributes <a id=\"n\"/>",
         [](std::size_t size) { return fill(size, [](std::size_t i) { return "<a id=\"" + shortName(i) + "\"/>"; }); }},
        {"namespace declarations",
         [](std::size_t size) { return fill(size, [](std::size_t) { return "<a xmlns:p=\"u\"/>"; }); }},
        {"deep nesting, 250 levels a block",
         [](std::size_t size) {
             const std::string block = [] {
                 std::string open;
                 std::string close;
                 for (int level = 0; level < 250; ++level) {
                     open += "<a>";
                     close += "</a>";
                 }
                 return open + close;
             }();
             return fill(size, [&block](std::size_t) { return block; });
         }},
        {"comments <!---->", [](std::size_t size) { return fill(size, [](std::size_t) { return "<!---->"; }); }},
        {"processing instructions <?a?>",
         [](std::size_t size) { return fill(size, [](std::size_t) { return "<?a?>"; }); }},
        {"CDATA sections", [](std::size_t size) { return fill(size, [](std::size_t) { return "<![CDATA[]]>"; }); }},
        {"character references &#65;",
         [](std::size_t size) {
             return fill(
                 size, [](std::size_t i) { return i == 0 ? std::string("<a>&#65;") : std::string("&#65;"); },
                 "</a><b/>");
         }},
        {"fault with a long faultstring",
         [](std::size_t size) {
             std::string body = fill(
                 size,
                 [](std::size_t i) {
                     return i == 0 ? std::string("<SOAP-ENV:Fault><faultstring>x") : std::string("x");
                 },
                 "</faultstring></SOAP-ENV:Fault>");
             return body.replace(body.find("<r>"), 3, "").replace(body.find("</r>"), 4, "");
         }},
    };
}

struct Result
{
    double wallSeconds = 0;
    long baselineKb = 0;
    long peakKb = 0;
    char outcome[64] = {};
};

Result decodeOnce(const std::string& body)
{
    Result result;
    result.baselineKb = statusKb("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    try {
        const std::string text = ProcessResponse(body);
        std::snprintf(result.outcome, sizeof result.outcome, "result of %zu bytes", text.size());
    } catch (const glb::Error& error) {
        std::snprintf(result.outcome, sizeof result.outcome, "%s, %zu bytes",
                      dynamic_cast<const EDOMParseError*>(&error) != nullptr ? "parse error" : "error",
                      error.message().size());
    }
    result.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.peakKb = statusKb("VmHWM");
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        sizes.push_back(static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)) * 1024);
    }
    if (sizes.empty()) {
        sizes.push_back(CurlTransport::Limits{}.maxResponseBytes);
    }
    std::printf("transport limit %zu bytes\n", CurlTransport::Limits{}.maxResponseBytes);
    std::printf("%-36s %10s %9s %12s %12s %8s  %s\n", "shape", "body KiB", "wall s", "peak RSS MiB", "growth MiB",
                "/body", "outcome");
    for (const std::size_t size : sizes) {
        for (const Shape& shape : shapes()) {
            int pipeEnds[2];
            if (::pipe(pipeEnds) != 0) {
                return 1;
            }
            const pid_t child = ::fork();
            if (child == 0) {
                ::close(pipeEnds[0]);
                const std::string body = shape.make(size);
                Result result = decodeOnce(body);
                const auto bodySize = static_cast<double>(body.size());
                char line[256];
                const int length = std::snprintf(
                    line, sizeof line, "%-36s %10.0f %9.3f %12.1f %12.1f %8.1f  %s\n", shape.name, bodySize / 1024,
                    result.wallSeconds, static_cast<double>(result.peakKb) / 1024,
                    static_cast<double>(result.peakKb - result.baselineKb) / 1024,
                    static_cast<double>(result.peakKb - result.baselineKb) * 1024 / bodySize, result.outcome);
                (void)!::write(pipeEnds[1], line, static_cast<std::size_t>(length));
                ::_exit(0);
            }
            ::close(pipeEnds[1]);
            char buffer[512];
            ssize_t got = 0;
            std::string line;
            while ((got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0) {
                line.append(buffer, static_cast<std::size_t>(got));
            }
            ::close(pipeEnds[0]);
            int status = 0;
            ::waitpid(child, &status, 0);
            std::fputs(line.empty() ? "(child failed)\n" : line.c_str(), stdout);
            std::fflush(stdout);
        }
    }
    std::printf("(growth: the child's peak RSS over its RSS with the body built; /body: growth per byte of body)\n");
    return 0;
}
