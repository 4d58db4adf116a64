// The service contract, its registration and the proxy over a recording transport.

#include "RegistryAccess.h"
#include "RequestDoubles.h"
#include "XmlReadBack.h"
#include "service/EnvelopeWriter.h"
#include "service/Registry.h"
#include "service/ServiceErrors.h"
#include "service/ServiceProxy.h"
#include "service/UploadCall.h"
#include "tests/support/TempDir.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace glb::service;
using glb::test::EventLog;
using glb::test::FakeTransport;

namespace {

std::string reply(const std::string& bodyContent)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:ns1=\"urn:BackupGlebarium\" xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
           "  <SOAP-ENV:Body>\n" +
           bodyContent + "\n  </SOAP-ENV:Body>\n</SOAP-ENV:Envelope>\n";
}

const std::string kReceived =
    reply("<ns1:UploadBackupResponse><return xsi:type=\"xsd:string\">Backup recebido &amp; gravado</return>"
          "</ns1:UploadBackupResponse>");
const std::string kFault = reply("<SOAP-ENV:Fault><faultcode>SOAP-ENV:Server</faultcode>"
                                 "<faultstring>Cliente desconhecido</faultstring></SOAP-ENV:Fault>");

/// Makes proxies over fake transports, keeping a handle on the last one.
struct Transports
{
    std::shared_ptr<EventLog> log = std::make_shared<EventLog>();
    std::string answer = kReceived;
    bool fail = false;
    std::exception_ptr error;
    FakeTransport* last = nullptr;
    std::shared_ptr<std::vector<std::string>> requests;

    TransportFactory factory()
    {
        return [this] {
            auto transport = std::make_unique<FakeTransport>(log, answer);
            transport->fail = fail;
            transport->error = error;
            last = transport.get();
            requests = transport->requests;
            return transport;
        };
    }
    bool destroyed() const { return std::count(log->begin(), log->end(), "transport destroyed") > 0; }
};

class ServiceProxyTest : public ::testing::Test
{
protected:
    void SetUp() override { RegisterBackupGlebariumTypes(); }
    Transports transports;
};

TEST(ServiceContract, RegistersFourEntriesInOrderOnce)
{
    RegisterBackupGlebariumTypes();
    RegisterBackupGlebariumTypes();
    const Registry& registry = Registry::global();
    using K = RegistrationStep::Kind;
    const std::vector<RegistrationStep>& steps = glb::service::RegistryAccess::steps(registry);
    ASSERT_EQ(steps.size(), 4U);
    EXPECT_EQ(steps[0].kind, K::Interface);
    EXPECT_EQ(steps[0].name, kBackupGlebariumPortTypeGuid);
    EXPECT_EQ(steps[1].kind, K::DefaultSoapAction);
    EXPECT_EQ(steps[2].kind, K::Type);
    EXPECT_EQ(steps[2].name, "ArquivoArray");
    EXPECT_EQ(steps[3].kind, K::Class);
    EXPECT_EQ(steps[3].name, "arquivos");

    const InterfaceEntry* port = registry.findInterface("{DBA99AC6-2A09-2B89-4EF2-2A518AE366E0}");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->ns, "urn:BackupGlebarium");
    EXPECT_EQ(port->encoding, "ISO-8859-1");
    EXPECT_EQ(port->soapAction, "UploadBackup");
    EXPECT_EQ(port->operations, std::vector<std::string>{"UploadBackup"});
    for (const char* type : {"ArquivoArray", "arquivos"}) {
        const TypeEntry* entry = registry.findType(type);
        ASSERT_NE(entry, nullptr) << type;
        EXPECT_EQ(entry->ns, "urn:WebBackupGlebarium");
        EXPECT_EQ(entry->xmlName, type);
        EXPECT_FALSE(entry->scalar);
    }
}

TEST_F(ServiceProxyTest, UrlModeBindsTheBuiltInEndpoint)
{
    auto port = GetBackupGlebariumPort(false, "", nullptr, transports.factory());
    ASSERT_NE(transports.last, nullptr);
    EXPECT_EQ(*transports.log,
              (EventLog{"setSoapAction UploadBackup", "setUrl http://www.glebarium.com.br/web/backup_antigo.php"}));
    const UrlParts& parts = transports.last->urlParts();
    EXPECT_EQ(parts.scheme, "http");
    EXPECT_EQ(parts.host, "www.glebarium.com.br");
    EXPECT_EQ(parts.port, 80);
    EXPECT_EQ(parts.path, "/web/backup_antigo.php");
    EXPECT_EQ(transports.last->soapAction(), "UploadBackup");

    auto other = GetBackupGlebariumPort(false, "http://127.0.0.1:8089/svc.php", nullptr, transports.factory());
    EXPECT_EQ(transports.last->url(), "http://127.0.0.1:8089/svc.php");
}

TEST_F(ServiceProxyTest, AFailedBindingDestroysTheProxyItMade)
{
    const Registry empty;
    try {
        GetBackupGlebariumPort(false, "", nullptr, transports.factory(), empty);
        ADD_FAILURE() << "an unknown interface must raise";
    } catch (const EInterfaceNotSupported& e) {
        EXPECT_STREQ(e.what(), "Interface not supported");
    }
    EXPECT_TRUE(transports.destroyed());

    Transports wsdl;
    try {
        GetBackupGlebariumPort(true, "", nullptr, wsdl.factory());
        ADD_FAILURE() << "the WSDL mode must raise";
    } catch (const EWSDLModeNotSupported& e) {
        EXPECT_STREQ(e.what(), "The WSDL mode is not supported: the service is reached at its URL");
    }
    EXPECT_TRUE(wsdl.destroyed());

    // A proxy the caller brought stays the caller's.
    Transports existing;
    auto proxy = std::make_shared<ServiceProxy>(existing.factory()(), Registry::global());
    EXPECT_THROW(GetBackupGlebariumPort(true, "", proxy), EWSDLModeNotSupported);
    EXPECT_FALSE(existing.destroyed());
    EXPECT_EQ(GetBackupGlebariumPort(false, "http://127.0.0.1/x", proxy), proxy);
    EXPECT_EQ(proxy->transport().url(), "http://127.0.0.1/x");
}

TEST_F(ServiceProxyTest, UploadBackupPostsTheRequestAndReturnsTheReply)
{
    const auto makeArray = [] {
        ArquivoArray array;
        array.push_back(std::make_unique<arquivos>("a.zip", "QUJD"));
        array.push_back(std::make_unique<arquivos>("b.zip", ""));
        return array;
    };
    auto port = GetBackupGlebariumPort(false, "", nullptr, transports.factory());
    transports.log->clear();
    EXPECT_EQ(port->UploadBackup(" Ana ", "123", makeArray()), "Backup recebido & gravado");
    EXPECT_EQ(*transports.log, (EventLog{"setSoapAction UploadBackup", "execute"}));
    ASSERT_EQ(transports.requests->size(), 1U);
    EXPECT_EQ(
        transports.requests->front(),
        R"(<?xml version="1.0"?>)"
        R"(<SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/" xmlns:xsd="http://www.w3.org/2001/XMLSchema" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:SOAP-ENC="http://schemas.xmlsoap.org/soap/encoding/">)"
        R"(<SOAP-ENV:Body xmlns:NS1="urn:BackupGlebarium" SOAP-ENV:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/" xmlns:NS2="urn:WebBackupGlebarium">)"
        R"(<NS1:UploadBackup><nome xsi:type="xsd:string"> Ana </nome><cpf xsi:type="xsd:string">123</cpf>)"
        R"(<arquivo xsi:type="SOAP-ENC:Array" SOAP-ENC:arrayType="NS2:arquivos[2]"><item href="#1"/>)"
        R"(<item href="#2"/></arquivo></NS1:UploadBackup><NS2:arquivos id="1" xsi:type="NS2:arquivos">)"
        R"(<NOME xsi:type="xsd:string">a.zip</NOME><BUF xsi:type="xsd:string">QUJD</BUF></NS2:arquivos>)"
        R"(<NS2:arquivos id="2" xsi:type="NS2:arquivos"><NOME xsi:type="xsd:string">b.zip</NOME>)"
        R"(<BUF xsi:type="xsd:string"></BUF></NS2:arquivos></SOAP-ENV:Body></SOAP-ENV:Envelope>)");

    // The last reference takes the proxy and its transport with it.
    auto requests = transports.requests;
    port.reset();
    EXPECT_TRUE(transports.destroyed());

    // A new proxy starts its request afresh.
    auto second = GetBackupGlebariumPort(false, "", nullptr, transports.factory());
    second->UploadBackup(" Ana ", "123", makeArray());
    EXPECT_EQ(transports.requests->front(), requests->front());
}

TEST_F(ServiceProxyTest, ErrorsOfTheExchangeAndTheReplyReachTheCaller)
{
    transports.answer = kFault;
    auto port = GetBackupGlebariumPort(false, "", nullptr, transports.factory());
    try {
        port->UploadBackup("Ana", "123", {});
        FAIL() << "a fault must raise";
    } catch (const ERemotableException& e) {
        EXPECT_STREQ(e.what(), "Cliente desconhecido");
    }

    Transports failing;
    failing.fail = true;
    auto other = GetBackupGlebariumPort(false, "", nullptr, failing.factory());
    try {
        other->UploadBackup("Ana", "123", {});
        FAIL() << "a transport failure must raise";
    } catch (const glb::Error& e) {
        EXPECT_STREQ(e.what(), "connection refused");
    }
    other.reset();
    EXPECT_TRUE(failing.destroyed());
}

TEST_F(ServiceProxyTest, AnAnswerBeforeTheWholeRequestReachesTheCallerAsItsFaultOrAsNotReceived)
{
    const std::string notReceived = "O serviço respondeu antes de receber o backup inteiro; o backup não foi enviado";
    const struct
    {
        const char* name;
        std::string earlyFault; ///< what the transport's error carries
        std::string message;    ///< of the error that reaches the caller
        bool fault;             ///< an ERemotableException, else the transport's error
    } cases[] = {
        {"a SOAP fault: why the service refused", kFault, "Cliente desconhecido", true},
        {"a header that had to be understood",
         "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Header>"
         "<Sessao mustUnderstand=\"1\"/></SOAP-ENV:Header></SOAP-ENV:Envelope>",
         "Soap header Sessao with attribute 'mustUnderstand' set to true was not handled", true},
        {"a reply that would be shown as received", kReceived, notReceived, false},
        {"a body that is not XML", "<html>Erro</htm", notReceived, false},
        {"a document that is not an envelope", "<erro/>", notReceived, false},
        {"nothing", "", notReceived, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Transports early;
        early.error = std::make_exception_ptr(ERequestNotReceivedWhole::forEarlyAnswer(c.earlyFault));
        auto port = GetBackupGlebariumPort(false, "", nullptr, early.factory());
        try {
            port->UploadBackup("Ana", "123", {});
            ADD_FAILURE() << "an early answer must raise";
        } catch (const ERemotableException& e) {
            EXPECT_TRUE(c.fault);
            EXPECT_EQ(e.message(), c.message);
        } catch (const ERequestNotReceivedWhole& e) {
            EXPECT_FALSE(c.fault);
            EXPECT_EQ(e.message(), c.message);
        }
        port.reset();
        EXPECT_TRUE(early.destroyed());
    }
}

TEST_F(ServiceProxyTest, UploadCallThroughTheProxySendsEveryFile)
{
    glb::test::TempDir dir;
    glb::test::writeFile(dir / "Fazenda.zip", std::string(100, 'x'));
    glb::test::writeFile(dir / "Financeiro.zip", "");
    glb::test::RecordingPump events(transports.log);
    const std::string nome = "Jo\xC3\xA3o & Filhos";

    const std::string reply = EnviarArquivos(dir.path(), nome, "123", events, [&] {
        return GetBackupGlebariumPort(false, "", nullptr, transports.factory());
    });

    ASSERT_EQ(transports.requests->size(), 1U);
    const auto read = glb::test::readBack(transports.requests->front());
    ASSERT_TRUE(read.wellFormed);
    EXPECT_EQ(read.nome, nome);
    // 100 bytes "x", in lines of 76 characters.
    const std::string fazendaBase64 = "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4\r\n"
                                      "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eA==";
    std::vector<std::pair<std::string, std::string>> sent = read.records;
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, (std::vector<std::pair<std::string, std::string>>{{"Fazenda.zip", fazendaBase64},
                                                                      {"Financeiro.zip", ""}}));
    EXPECT_EQ(reply, "Backup recebido & gravado");
    EXPECT_EQ(transports.log->back(), "transport destroyed");
}

} // namespace
