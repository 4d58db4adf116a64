#include "service/ResponseDecoder.h"
#include "service/ServiceErrors.h"

#include <gtest/gtest.h>
#include <string>
#include <string_view>

using namespace glb::service;

namespace {

const std::string kEnvOpen = R"(<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" )"
                             R"(xmlns:ns1="urn:BackupGlebarium">)";
const std::string kEnvClose = "</SOAP-ENV:Envelope>";

std::string envelope(std::string_view inner)
{
    return kEnvOpen + std::string(inner) + kEnvClose;
}

std::string body(std::string_view inner)
{
    return envelope("<SOAP-ENV:Body>" + std::string(inner) + "</SOAP-ENV:Body>");
}

enum class Outcome
{
    Result,
    Remotable,
    DomConvert,
    XmlDoc,
    Parse, ///< EDOMParseError; `text` is the message's tail after the parser's description
};

struct Case
{
    const char* name;
    std::string response;
    Outcome outcome;
    std::string text; ///< the result, or the error's message
    std::string faultCode = {};
    std::string faultActor = {};
    std::string faultDetail = {};
};

const std::string kWorkedExample = R"(<?xml version="1.0" encoding="UTF-8"?>
<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:ns1="urn:BackupGlebarium" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <SOAP-ENV:Body>
    <ns1:UploadBackupResponse>
      <return xsi:type="xsd:string">Backup recebido: 2 arquivos</return>
    </ns1:UploadBackupResponse>
  </SOAP-ENV:Body>
</SOAP-ENV:Envelope>
)";

std::string deeplyNested(int depth)
{
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += "<a>";
    }
    for (int i = 0; i < depth; ++i) {
        text += "</a>";
    }
    return text;
}

const std::string kBillionLaughs = R"(<?xml version="1.0"?>
<!DOCTYPE e [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;"><!ENTITY d "&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;">
<!ENTITY e "&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;"><!ENTITY f "&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;">
<!ENTITY g "&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;"><!ENTITY h "&g;&g;&g;&g;&g;&g;&g;&g;&g;&g;">]>
<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body><r><return>&h;</return></r></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

// An entity naming a file of the test's own, whose text must never reach the result or a
// message.
constexpr std::string_view kExternalContent = "GLB-EXTERNAL-ENTITY-CONTENT";
const std::string kExternalEntity = R"(<?xml version="1.0"?>
<!DOCTYPE e [<!ENTITY x SYSTEM "file://)" GLB_EXTERNAL_ENTITY_FILE R"(">]>
<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/"><SOAP-ENV:Body><r><return>&x;</return></r></SOAP-ENV:Body></SOAP-ENV:Envelope>)";

const std::string kUndefinedPrefix = "<a:Envelope/>";

/// `text` as UTF-16 bytes: little-endian after a byte-order mark, or big-endian without one.
std::string utf16(std::u16string_view text, bool littleEndianWithMark = true)
{
    std::string bytes = littleEndianWithMark ? std::string("\xFF\xFE") : std::string();
    for (const char16_t unit : text) {
        const auto high = static_cast<char>(unit >> 8);
        const auto low = static_cast<char>(unit & 0xFF);
        bytes += littleEndianWithMark ? std::string{low, high} : std::string{high, low};
    }
    return bytes;
}

const std::u16string kUtf16Declaration = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n";
const std::u16string kUtf16Reply = u"<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body><r>"
                                   u"<return>S\u00E3o Paulo</return></r></e:Body></e:Envelope>";
// A third line of more than 40 characters that closes the wrong element.
const std::u16string kUtf16BrokenLines =
    u"<a>\n<b>S\u00E3o Paulo, Goi\u00E2nia e Cuiab\u00E1, tr\u00EAs fazendas</c></a>";
const std::string kLatin1Declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n";

// clang-format off
const Case kCases[] = {
    {"worked example", kWorkedExample, Outcome::Result, "Backup recebido: 2 arquivos"},
    {"single child of any name", body("<ns1:R><RESULTADO>ok</RESULTADO></ns1:R>"), Outcome::Result, "ok"},
    {"result among several children", body("<ns1:R><status>1</status><Result>done</Result></ns1:R>"),
     Outcome::Result, "done"},
    {"first Return wins, any case", body("<ns1:R><x/><RETURN>one</RETURN><result>two</result></ns1:R>"),
     Outcome::Result, "one"},
    {"no matching child among several", body("<ns1:R><a>1</a><b>2</b></ns1:R>"), Outcome::DomConvert,
     "SOAP Response Packet: element matching function return not found, received \"<ns1:R><a>1</a><b>2</b></ns1:R>\""},
    {"response node without children", body("<ns1:R/>"), Outcome::DomConvert,
     "SOAP Response Packet: element matching function return not found, received \"<ns1:R/>\""},
    {"href to a multi-reference element, first id wins, any case",
     body(R"(<ns1:R><return href="#ID0"/></ns1:R><item id="id0">referenced</item><item id="id0">later</item>)"),
     Outcome::Result, "referenced"},
    {"href not found keeps the return element", body(R"(<ns1:R><return href="#nowhere">own</return></ns1:R>)"),
     Outcome::Result, "own"},
    {"entities and character references replaced", body("<ns1:R><return>a &amp; b &#233;&#13;</return></ns1:R>"),
     Outcome::Result, "a & b \xC3\xA9\r"},
    {"text kept untrimmed", body("<ns1:R><return>  two words \n</return></ns1:R>"), Outcome::Result,
     "  two words \n"},
    {"whitespace only gives empty text", body("<ns1:R><return>  \r\n\t </return></ns1:R>"), Outcome::Result, ""},
    {"empty and nil return", body(R"(<ns1:R><return xsi:nil="true" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"/></ns1:R>)"),
     Outcome::Result, ""},
    {"CDATA gives its markup", body("<ns1:R><return><![CDATA[<b>x</b>]]></return></ns1:R>"), Outcome::Result,
     "<![CDATA[<b>x</b>]]>"},
    {"mixed content gives its XML text", body("<ns1:R><return>x &lt; <i>y</i> z</return></ns1:R>"),
     Outcome::Result, "x &lt; <i>y</i> z"},
    {"Body without element", body("<!-- nothing -->"), Outcome::Result, ""},
    {"Header and no Body", envelope("<SOAP-ENV:Header><s>1</s></SOAP-ENV:Header>"), Outcome::Result, ""},
    {"SOAP 1.2 envelope",
     R"(<e:Envelope xmlns:e="http://www.w3.org/2003/05/soap-envelope"><e:Body><r><return>v12</return></r></e:Body></e:Envelope>)",
     Outcome::Result, "v12"},
    {"other Envelope children skipped", envelope("<Extra/><SOAP-ENV:Body><r><return>v</return></r></SOAP-ENV:Body>"),
     Outcome::Result, "v"},

    {"fault with faultstring",
     body("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode><faultstring>Falha ao gravar o backup</faultstring></SOAP-ENV:Fault>"),
     Outcome::Remotable, "Falha ao gravar o backup", "SOAP-ENV:Server"},
    {"fault parts in any case, last occurrence wins, actor and detail",
     body("<SOAP-ENV:Fault><FaultString>first</FaultString><faultactor>urn:a</faultactor>"
          "<detail><why>disk</why></detail><FAULTSTRING><![CDATA[second]]></FAULTSTRING></SOAP-ENV:Fault>"),
     Outcome::Remotable, "second", "", "urn:a", "<detail><why>disk</why></detail>"},
    {"fault without faultstring uses detail",
     body("<SOAP-ENV:Fault><faultcode>c</faultcode><detail>d</detail></SOAP-ENV:Fault>"), Outcome::Remotable,
     "<detail>d</detail>", "c", "", "<detail>d</detail>"},
    {"fault with empty faultstring and no detail uses the Fault",
     body("<SOAP-ENV:Fault><faultstring/></SOAP-ENV:Fault>"), Outcome::Remotable,
     "<SOAP-ENV:Fault><faultstring/></SOAP-ENV:Fault>"},
    {"fault part with element content",
     body("<SOAP-ENV:Fault><SOAP-ENV:faultstring>a<b/></SOAP-ENV:faultstring></SOAP-ENV:Fault>"), Outcome::XmlDoc,
     "Element \"SOAP-ENV:faultstring\" does not contain a single text node"},
    {"several bad fault parts: faultstring is read first",
     body("<SOAP-ENV:Fault><faultcode><c/></faultcode><faultactor><a/></faultactor>"
          "<faultstring><s/></faultstring></SOAP-ENV:Fault>"),
     Outcome::XmlDoc, "Element \"faultstring\" does not contain a single text node"},
    {"bad faultactor and faultcode: faultactor is read before faultcode",
     body("<SOAP-ENV:Fault><faultcode><c/></faultcode><faultstring>s</faultstring>"
          "<faultactor><a/></faultactor></SOAP-ENV:Fault>"),
     Outcome::XmlDoc, "Element \"faultactor\" does not contain a single text node"},

    {"mustUnderstand 1", envelope(R"(<SOAP-ENV:Header><Sessao mustUnderstand="1"/></SOAP-ENV:Header>)"),
     Outcome::Remotable, "Soap header Sessao with attribute 'mustUnderstand' set to true was not handled",
     "MustUnderstand"},
    {"mustUnderstand TRUE", envelope(R"(<SOAP-ENV:Header><h:S xmlns:h="urn:h" mustUnderstand="TRUE"/></SOAP-ENV:Header>)"),
     Outcome::Remotable, "Soap header S with attribute 'mustUnderstand' set to true was not handled",
     "MustUnderstand"},
    {"prefixed or false mustUnderstand ignored",
     envelope(R"(<SOAP-ENV:Header><a SOAP-ENV:mustUnderstand="1"/><b mustUnderstand="0"/></SOAP-ENV:Header>)"
              "<SOAP-ENV:Body><r><return>v</return></r></SOAP-ENV:Body>"),
     Outcome::Result, "v"},

    {"html document", "<html><body>Erro</body></html>", Outcome::DomConvert,
     "DocumentElement http://schemas.xmlsoap.org/soap/envelope/:Envelope expected, :html found"},
    {"Envelope in another namespace", R"(<Envelope xmlns="urn:x"><Body/></Envelope>)", Outcome::DomConvert,
     "DocumentElement http://schemas.xmlsoap.org/soap/envelope/:Envelope expected, urn:x:Envelope found"},
    {"envelope in lower case",
     R"(<s:envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/"/>)", Outcome::DomConvert,
     "DocumentElement http://schemas.xmlsoap.org/soap/envelope/:Envelope expected, "
     "http://schemas.xmlsoap.org/soap/envelope/:envelope found"},
    {"Envelope holding only whitespace", envelope("\r\n  \t"), Outcome::DomConvert, "Invalid SOAP request"},
    {"second Body", envelope("<SOAP-ENV:Body><r><x>1</x></r></SOAP-ENV:Body><SOAP-ENV:Body/>"), Outcome::DomConvert,
     "Invalid SOAP response"},
    {"second Header", envelope("<SOAP-ENV:Header/><SOAP-ENV:Header/>"), Outcome::DomConvert,
     "Invalid SOAP response"},

    {"empty body", "", Outcome::Parse, "\r\nLine: 1\r\n"},
    {"error on the third line", "<a>\n<b>\n<c>0123456789012345678901234567890123456789XYZ</b></a>", Outcome::Parse,
     "\r\nLine: 3\r\n<c>0123456789012345678901234567890123456"},
    {"bytes that are not text", std::string("\x01\xff\xfe<\x80", 5), Outcome::Parse,
     "\r\nLine: 1\r\n\x01\xEF\xBF\xBD\xEF\xBF\xBD<\xEF\xBF\xBD"},
    {"overlong forms and surrogates are not text either", std::string("\xE0\x80\xAF<\xED\xA0\x80", 7),
     Outcome::Parse, "\r\nLine: 1\r\n\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD<\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"undefined namespace prefix", kUndefinedPrefix, Outcome::Parse, "\r\nLine: 1\r\n<a:Envelope/>"},
    {"Latin-1 document", kLatin1Declaration + body("<r><return>S\xE3o Paulo</return></r>"), Outcome::Result,
     "S\xC3\xA3o Paulo"},
    {"error in a Latin-1 document: the line in its own encoding",
     kLatin1Declaration + "<a>\n<b>S\xE3o Paulo</c></a>", Outcome::Parse, "\r\nLine: 3\r\n<b>S\xC3\xA3o Paulo</c></a>"},
    {"error in a windows-1252 document", "<?xml version=\"1.0\" encoding=\"windows-1252\"?>\n<a>\n<b>\x80 9</c></a>",
     Outcome::Parse, "\r\nLine: 3\r\n<b>\xE2\x82\xAC 9</c></a>"},
    {"UTF-16 document", utf16(kUtf16Declaration + kUtf16Reply), Outcome::Result, "S\xC3\xA3o Paulo"},
    {"error in a UTF-16 document: 40 characters of the line", utf16(kUtf16Declaration + kUtf16BrokenLines),
     Outcome::Parse, "\r\nLine: 3\r\n<b>S\xC3\xA3o Paulo, Goi\xC3\xA2nia e Cuiab\xC3\xA1, tr\xC3\xAAs faz"},
    {"UTF-16 unit that is no character", utf16(kUtf16Declaration + u"<a>\n<b>\xD800</b></a>"), Outcome::Parse,
     "\r\nLine: 3\r\n<b>\xEF\xBF\xBD</b></a>"},
    {"error in a UTF-16 document without byte-order mark", utf16(kUtf16Declaration + kUtf16BrokenLines, false),
     Outcome::Parse, "\r\nLine: 3\r\n<b>S\xC3\xA3o Paulo, Goi\xC3\xA2nia e Cuiab\xC3\xA1, tr\xC3\xAAs faz"},
    {"entity expansion", kBillionLaughs, Outcome::Parse, ""},
    {"external entity", kExternalEntity, Outcome::Parse, ""},
    {"nesting beyond the parser's depth limit", body("<r>" + deeplyNested(100000) + "</r>"), Outcome::Parse, ""},
};
// clang-format on

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

class ResponseCases : public testing::TestWithParam<Case>
{
};

TEST_P(ResponseCases, DecodesOrRaises)
{
    const Case& c = GetParam();
    switch (c.outcome) {
    case Outcome::Result:
        EXPECT_EQ(ProcessResponse(c.response), c.text);
        break;
    case Outcome::Remotable:
        try {
            ProcessResponse(c.response);
            ADD_FAILURE() << "no fault raised";
        } catch (const ERemotableException& e) {
            EXPECT_EQ(e.message(), c.text);
            EXPECT_EQ(e.faultCode(), c.faultCode);
            EXPECT_EQ(e.faultActor(), c.faultActor);
            EXPECT_EQ(e.faultDetail(), c.faultDetail);
        }
        break;
    case Outcome::DomConvert:
        try {
            ProcessResponse(c.response);
            ADD_FAILURE() << "nothing raised";
        } catch (const ESOAPDomConvertError& e) {
            EXPECT_EQ(e.message(), c.text);
        }
        break;
    case Outcome::XmlDoc:
        try {
            ProcessResponse(c.response);
            ADD_FAILURE() << "nothing raised";
        } catch (const EXMLDocError& e) {
            EXPECT_EQ(e.message(), c.text);
        }
        break;
    case Outcome::Parse:
        try {
            ProcessResponse(c.response);
            ADD_FAILURE() << "nothing raised";
        } catch (const EDOMParseError& e) {
            const std::string& message = e.message();
            const std::size_t lineMark = message.find("\r\nLine: ");
            ASSERT_NE(lineMark, std::string::npos) << message;
            EXPECT_GT(lineMark, 0U) << "the parser's description comes first";
            if (!c.text.empty()) {
                EXPECT_EQ(message.substr(lineMark), c.text);
            }
            EXPECT_EQ(message.find(kExternalContent), std::string::npos) << "no external content read";
        }
        break;
    }
}

std::string caseName(const testing::TestParamInfo<Case>& info)
{
    std::string name;
    for (const char* p = info.param.name; *p != '\0'; ++p) {
        name += std::isalnum(static_cast<unsigned char>(*p)) != 0 ? *p : '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, ResponseCases, testing::ValuesIn(kCases), caseName);

} // namespace
