// Reading a whole response from its own bytes: what libcurl left unread when a send failed.

#include "service/detail/RawResponse.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>

using glb::service::detail::RawResponse;
using glb::service::detail::readWholeResponse;

namespace {

struct ReadCase
{
    const char* name;
    std::string bytes;
    bool whole; ///< a response comes out
    // and these are its parts
    int status = 0;
    std::string statusText{};
    std::optional<std::string> contentType{};
    std::string body{};
};

void PrintTo(const ReadCase& c, std::ostream* os)
{
    *os << c.name;
}

class ReadingAWholeResponse : public testing::TestWithParam<ReadCase>
{
};

TEST_P(ReadingAWholeResponse, GivesItsPartsOrNothing)
{
    const ReadCase& c = GetParam();
    const std::optional<RawResponse> response = readWholeResponse(c.bytes);
    ASSERT_EQ(response.has_value(), c.whole);
    if (!c.whole) {
        return;
    }
    EXPECT_EQ(response->status, c.status);
    EXPECT_EQ(response->statusText, c.statusText);
    EXPECT_EQ(response->contentType, c.contentType);
    EXPECT_EQ(response->body, c.body);
}

const std::string kFaultHead = "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/xml; charset=utf-8\r\n";

// clang-format off
const ReadCase kReadCases[] = {
    {"fault", kFaultHead + "Content-Length: 7\r\n\r\n<fault>", true, 500, "Internal Server Error",
     "text/xml; charset=utf-8", "<fault>"},
    {"bytes after the body are left alone", kFaultHead + "Content-Length: 3\r\n\r\n<a/>trailing", true, 500,
     "Internal Server Error", "text/xml; charset=utf-8", "<a/"},
    {"bare line feeds", "HTTP/1.0 200 OK\nContent-Length: 2\n\nok", true, 200, "OK", std::nullopt, "ok"},
    {"interim responses passed over",
     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx",
     true, 200, "OK", std::nullopt, "x"},
    {"no reason phrase", "HTTP/1.1 204\r\n\r\n", true, 204, "", std::nullopt, ""},
    {"204 and 304 have no body", "HTTP/1.1 304 Not Modified\r\nContent-Type: a\r\n\r\nrest", true, 304,
     "Not Modified", "a", ""},
    {"the first Content-Type counts; names in any case, blanks around values",
     "HTTP/1.1 200 OK\r\ncontent-type:  b \r\nContent-Type: c\r\nCONTENT-LENGTH: 0\r\n\r\n", true, 200, "OK", "b",
     ""},
    {"the same length twice", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx", true, 200, "OK",
     std::nullopt, "x"},
    {"an empty reply", "", false},
    {"the status line cut short", "HTTP/1.1 500 Inter", false},
    {"the head cut short", kFaultHead + "Content-Length: 7\r\n", false},
    {"the body cut short", kFaultHead + "Content-Length: 8\r\n\r\n<fault>", false},
    {"no Content-Length", kFaultHead + "\r\n<fault>", false},
    {"a Transfer-Encoding", kFaultHead + "Transfer-Encoding: chunked\r\n\r\n7\r\n<fault>\r\n0\r\n\r\n", false},
    {"a Transfer-Encoding besides a Content-Length",
     kFaultHead + "Content-Length: 7\r\nTransfer-Encoding: chunked\r\n\r\n<fault>", false},
    {"lengths that disagree", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nxy", false},
    {"a length that is not a number", "HTTP/1.1 200 OK\r\nContent-Length: 1x\r\n\r\nx", false},
    {"a length over 64 bits", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\nx", false},
    {"a header line without a colon", "HTTP/1.1 200 OK\r\nnonsense\r\nContent-Length: 0\r\n\r\n", false},
    {"not HTTP/1.x", "HTTP/2 200\r\nContent-Length: 0\r\n\r\n", false},
    {"a status of two digits", "HTTP/1.1 20 OK\r\nContent-Length: 0\r\n\r\n", false},
    {"a status of four digits", "HTTP/1.1 2000 OK\r\nContent-Length: 0\r\n\r\n", false},
    {"TLS records", std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, '\x9c'), false},
    {"only interim responses", "HTTP/1.1 100 Continue\r\n\r\n", false},
};
// clang-format on

std::string caseName(const testing::TestParamInfo<ReadCase>& param)
{
    std::string name;
    for (const char* p = param.param.name; *p != '\0'; ++p) {
        name += std::isalnum(static_cast<unsigned char>(*p)) != 0 ? *p : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, ReadingAWholeResponse, testing::ValuesIn(kReadCases), caseName);

} // namespace
