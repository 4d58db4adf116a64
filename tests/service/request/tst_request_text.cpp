// The text the request is made of: endpoint URLs, the Base64 form and the request document.

#include "XmlReadBack.h"
#include "common/Error.h"
#include "service/Base64.h"
#include "service/EnvelopeWriter.h"
#include "service/UploadCall.h"
#include "service/Url.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace glb::service;
using glb::test::readBack;

namespace {

// ---- URL splitting ----------------------------------------------------------------------

struct UrlCase
{
    const char* url;
    bool valid;
    const char* scheme;
    const char* host;
    std::uint16_t port;
    const char* path;
};

// clang-format off
const UrlCase kUrlCases[] = {
    {"http://www.glebarium.com.br/web/backup_antigo.php", true, "http", "www.glebarium.com.br", 80, "/web/backup_antigo.php"},
    {"HTTPS://Example.com",                      true, "https", "Example.com", 443, "/"},
    {"http://127.0.0.1:8080/soap?x=1#part",      true, "http", "127.0.0.1", 8080, "/soap?x=1"},
    {"http://user:pw@host:81/p",                 true, "http", "host", 81, "/p"},
    {"http://[::1]:9000/x",                      true, "http", "::1", 9000, "/x"},
    {"http://h?q=1",                             true, "http", "h", 80, "/?q=1"},
    {"http://h:/p",                              true, "http", "h", 80, "/p"},
    {"",                                         false, "", "", 0, ""},
    {"www.glebarium.com.br/web",                 false, "", "", 0, ""},
    {"ftp://h/file",                             false, "", "", 0, ""},
    {"http://",                                  false, "", "", 0, ""},
    {"http://:80/",                              false, "", "", 0, ""},
    {"http://h:0/",                              false, "", "", 0, ""},
    {"http://h:65536/",                          false, "", "", 0, ""},
    {"http://h:8a/",                             false, "", "", 0, ""},
    {"http://a b/",                              false, "", "", 0, ""},
    {"http://[::1/",                             false, "", "", 0, ""},
};
// clang-format on

TEST(CrackUrl, SplitsOrRefuses)
{
    for (const UrlCase& c : kUrlCases) {
        SCOPED_TRACE(c.url);
        const auto parts = crackUrl(c.url);
        ASSERT_EQ(parts.has_value(), c.valid);
        if (!c.valid)
            continue;
        EXPECT_EQ(parts->scheme, c.scheme);
        EXPECT_EQ(parts->host, c.host);
        EXPECT_EQ(parts->port, c.port);
        EXPECT_EQ(parts->path, c.path);
    }
}

// ---- Base64 -----------------------------------------------------------------------------

std::string patternBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    return bytes;
}

// Independent decoder: checks that the text carries the input, whatever the line layout.
std::string decode(const std::string& text)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || c == '=')
            continue;
        const auto v = alphabet.find(c);
        EXPECT_NE(v, std::string::npos) << "unexpected character " << int(c);
        bits = (bits << 6U) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> static_cast<unsigned>(count)) & 0xFFU));
        }
    }
    return out;
}

TEST(Base64, Rfc4648Vectors)
{
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF", "+/8="}, {std::string(3, '\0'), "AAAA"},
    };
    // clang-format on
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(encodeBase64(input), expected) << input;
}

struct LineCase
{
    std::size_t bytes;
    std::size_t length; // line breaks included
    bool endsWithBreak;
};

TEST(Base64, LineBreaksAfterEvery76thCharacter)
{
    // clang-format off
    const LineCase cases[] = {
        {0, 0, false}, {1, 4, false}, {2, 4, false}, {3, 4, false},
        {57, 78, true},      // one full line
        {58, 82, false},     // a full line, then "xxx=" ... four characters
        {114, 156, true},    // two full lines
        {510, 696, false},   // 680 characters: 8 lines and 72
        {511, 702, true},    // 684 characters: exactly 9 lines
    };
    // clang-format on
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.bytes);
        const std::string input = patternBytes(c.bytes);
        const std::string text = encodeBase64(input);
        EXPECT_EQ(text.size(), c.length);
        EXPECT_EQ(base64TextLength(c.bytes), c.length);
        EXPECT_EQ(decode(text), input);
        EXPECT_EQ(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0, c.endsWithBreak);
        // Every line but the last is 76 characters followed by CR LF.
        std::size_t start = 0;
        for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", start)) {
            EXPECT_EQ(at - start, 76U);
            start = at + 2;
        }
        EXPECT_LT(text.size() - start, 76U);
        EXPECT_EQ(text.find_first_of("\r\n", start), std::string::npos);
    }
    EXPECT_EQ(encodeBase64(patternBytes(58)).substr(78), encodeBase64(patternBytes(58).substr(57)));
    EXPECT_EQ(encodeBase64(patternBytes(58)).substr(80), "==");
}

TEST(Base64, PiecesGiveTheSameTextAsTheWhole)
{
    const std::string input = patternBytes(2000);
    const std::string whole = encodeBase64(input);
    for (const std::size_t piece : {1U, 2U, 4U, 5U, 57U, 510U, 1999U}) {
        std::string text;
        Base64Writer writer(text);
        for (std::size_t at = 0; at < input.size(); at += piece) {
            const std::string part = input.substr(at, piece);
            writer.write(reinterpret_cast<const unsigned char*>(part.data()), part.size());
        }
        writer.finish();
        EXPECT_EQ(text, whole) << "pieces of " << piece;
    }
}

// ---- The request document -----------------------------------------------------------------

ArquivoArray records(const std::vector<std::pair<std::string, std::string>>& items)
{
    ArquivoArray array;
    for (const auto& [nome, buf] : items)
        array.push_back(std::make_unique<arquivos>(nome, buf));
    return array;
}

const std::string kHead =
    "<?xml version=\"1.0\"?>"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">"
    "<SOAP-ENV:Body xmlns:NS1=\"urn:BackupGlebarium\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:NS2=\"urn:WebBackupGlebarium\">";

TEST(RequestDocument, NoFile)
{
    const std::string body = InvContextToMsg({}, "Ana", "123", ArquivoArray());
    EXPECT_EQ(body, kHead + "<NS1:UploadBackup><nome xsi:type=\"xsd:string\">Ana</nome>"
                            "<cpf xsi:type=\"xsd:string\">123</cpf>"
                            "<arquivo xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"NS2:arquivos[0]\"/>"
                            "</NS1:UploadBackup></SOAP-ENV:Body></SOAP-ENV:Envelope>");
}

TEST(RequestDocument, TwoFiles)
{
    const std::string buf2 = std::string(76, 'Q') + "\r\nQUJD";
    const std::string body =
        InvContextToMsg({}, "Ana & Cia", "", records({{"Fazenda Boa Vista.zip", "QUJD"}, {"Financeiro.zip", buf2}}));
    EXPECT_EQ(body, kHead +
                        "<NS1:UploadBackup><nome xsi:type=\"xsd:string\">Ana &amp; Cia</nome>"
                        "<cpf xsi:type=\"xsd:string\"></cpf>"
                        "<arquivo xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"NS2:arquivos[2]\">"
                        "<item href=\"#1\"/><item href=\"#2\"/></arquivo></NS1:UploadBackup>"
                        "<NS2:arquivos id=\"1\" xsi:type=\"NS2:arquivos\">"
                        "<NOME xsi:type=\"xsd:string\">Fazenda Boa Vista.zip</NOME>"
                        "<BUF xsi:type=\"xsd:string\">QUJD</BUF></NS2:arquivos>"
                        "<NS2:arquivos id=\"2\" xsi:type=\"NS2:arquivos\">"
                        "<NOME xsi:type=\"xsd:string\">Financeiro.zip</NOME>"
                        "<BUF xsi:type=\"xsd:string\">" +
                        std::string(76, 'Q') +
                        "&#13;\nQUJD</BUF></NS2:arquivos>"
                        "</SOAP-ENV:Body></SOAP-ENV:Envelope>");

    const auto read = readBack(body);
    ASSERT_TRUE(read.wellFormed);
    EXPECT_EQ(read.envelopeNs, "http://schemas.xmlsoap.org/soap/envelope/");
    EXPECT_EQ(read.operationNs, "urn:BackupGlebarium");
    EXPECT_EQ(read.operationName, "UploadBackup");
    EXPECT_EQ(read.encodingStyle, "http://schemas.xmlsoap.org/soap/encoding/");
    EXPECT_EQ(read.nome, "Ana & Cia");
    EXPECT_EQ(read.cpf, "");
    ASSERT_EQ(read.records.size(), 2U);
    EXPECT_EQ(read.records[1].second, buf2); // CR LF pairs survive the parser
    for (const char* absent : {"ArquivoArray", "ISO-8859-1", "Header"})
        EXPECT_EQ(body.find(absent), std::string::npos) << absent;
}

TEST(RequestDocument, TenFilesInArrayOrder)
{
    std::vector<std::pair<std::string, std::string>> items;
    for (int k = 1; k <= 10; ++k)
        items.emplace_back("f" + std::to_string(k) + ".zip",
                           encodeBase64(patternBytes(static_cast<std::size_t>(k * 20))));
    const std::string body = InvContextToMsg({}, "Ana", "123", records(items));

    EXPECT_NE(body.find("SOAP-ENC:arrayType=\"NS2:arquivos[10]\">"), std::string::npos);
    std::string itemsText;
    for (int k = 1; k <= 10; ++k)
        itemsText += "<item href=\"#" + std::to_string(k) + "\"/>";
    EXPECT_NE(body.find(">" + itemsText + "</arquivo></NS1:UploadBackup><NS2:arquivos id=\"1\" "), std::string::npos);
    std::size_t last = 0;
    for (int k = 1; k <= 10; ++k) {
        const auto at = body.find("<NS2:arquivos id=\"" + std::to_string(k) + "\" xsi:type=\"NS2:arquivos\">");
        ASSERT_NE(at, std::string::npos) << k;
        EXPECT_GT(at, last) << k;
        last = at;
    }

    const auto read = readBack(body);
    ASSERT_TRUE(read.wellFormed);
    EXPECT_FALSE(read.unresolvedReference);
    EXPECT_EQ(read.records, items);
}

struct TextCase
{
    const char* what;
    std::string in;
    std::string readsBackAs;
};

TEST(RequestDocument, AnyTextGivesWellFormedXml)
{
    const std::string fffd = "\xEF\xBF\xBD";
    // clang-format off
    const TextCase cases[] = {
        {"empty",             "", ""},
        {"spaces kept",       "  Ana Maria  ", "  Ana Maria  "},
        {"markup",            "A & B <c> ]]> \"q\" 'a'", "A & B <c> ]]> \"q\" 'a'"},
        {"beyond Latin-1",    "Jo\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x90\x84", "Jo\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x90\x84"},
        {"tab, CR, LF",       "a\tb\r\nc\rd", "a\tb\r\nc\rd"},
        {"controls",          std::string("a\x01" "b\x1F" "c") + '\0' + "d\x7F", "a" + fffd + "b" + fffd + "c" + fffd + "d\x7F"},
        {"lone lead byte",    "\xC3(", fffd + "("},
        {"cut sequence",      "x\xE2\x82", "x" + fffd},
        {"overlong",          "\xC0\xAF", fffd + fffd},
        {"surrogate",         "\xED\xA0\x80", fffd + fffd + fffd},
        {"beyond U+10FFFF",   "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"noncharacters",     "\xEF\xBF\xBE\xEF\xBF\xBF", fffd + fffd},
        {"stray continuation","\x80z", fffd + "z"},
    };
    // clang-format on
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string body = InvContextToMsg({}, c.in, c.in, records({{c.in, c.in}}));
        const auto read = readBack(body);
        ASSERT_TRUE(read.wellFormed);
        EXPECT_EQ(read.nome, c.readsBackAs);
        EXPECT_EQ(read.cpf, c.readsBackAs);
        ASSERT_EQ(read.records.size(), 1U);
        EXPECT_EQ(read.records[0].first, c.readsBackAs);
        EXPECT_EQ(read.records[0].second, c.readsBackAs);
        EXPECT_EQ(readsBackUnchanged(c.in), c.in == c.readsBackAs);
    }
}

TEST(RequestDocument, EachRequestStartsItsReferencesAfreshAndKeepsTheRecords)
{
    const std::vector<std::pair<std::string, std::string>> items = {
        {"a.zip", encodeBase64(patternBytes(300))}, {"b.zip", ""}, {"c.zip", encodeBase64(patternBytes(57))}};
    const ArquivoArray kept = records(items);
    const std::string first = InvContextToMsg({}, "Ana", "123", kept);
    EXPECT_EQ(InvContextToMsg({}, "Ana", "123", kept), first);
    for (std::size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(kept[i]->BUF(), items[i].second);
}

TEST(RequestDocument, AFileBackedBufWritesTheSameBytesAsItsText)
{
    glb::test::TempDir dir;
    // Empty, one line exactly, and more than one read of the file.
    const std::vector<std::pair<std::string, std::string>> files = {
        {"vazio.zip", ""}, {"linha.zip", patternBytes(57)}, {"grande.zip", patternBytes(200001)}};
    ArquivoArray asText;
    ArquivoArray asFile;
    for (const auto& [name, content] : files) {
        glb::test::writeFile(dir / name, content);
        asText.push_back(std::make_unique<arquivos>(name, encodeBase64(content)));
        asFile.push_back(std::make_unique<arquivos>(name, ""));
        asFile.back()->setBUFFile(dir / name);
    }
    const std::string expected = InvContextToMsg({}, "Ana", "123", asText);
    EXPECT_EQ(InvContextToMsg({}, "Ana", "123", asFile), expected);

    arquivos missing;
    missing.setBUFFile(dir / "none.zip");
    EXPECT_THROW((void)missing.BUF(), glb::EFOpenError);
}

} // namespace
