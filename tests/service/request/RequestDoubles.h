#pragma once

#include "common/Error.h"
#include "common/WorkerThread.h"
#include "service/HttpTransport.h"
#include "service/ServiceContract.h"
#include "service/Url.h"

#include <exception>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace glb::test {

/// What happened to the doubles, in order.
using EventLog = std::vector<std::string>;

/// A transport that records what the proxy does with it and answers with a canned body.
class FakeTransport : public service::HttpTransport
{
public:
    FakeTransport(std::shared_ptr<EventLog> log, std::string reply)
        : m_log(std::move(log))
        , m_reply(std::move(reply))
    {
    }
    ~FakeTransport() override { m_log->push_back("transport destroyed"); }

    void setUrl(const std::string& url) override
    {
        m_log->push_back("setUrl " + url);
        m_url = url;
        m_parts = service::crackUrl(url).value_or(service::UrlParts{});
    }
    const std::string& url() const override { return m_url; }
    const service::UrlParts& urlParts() const override { return m_parts; }
    void setSoapAction(const std::string& action) override
    {
        m_log->push_back("setSoapAction " + action);
        m_action = action;
    }
    const std::string& soapAction() const override { return m_action; }
    using HttpTransport::execute;
    void execute(service::RequestBody& request, std::string& response) override
    {
        m_log->push_back("execute");
        std::string bytes;
        char piece[4096];
        while (const std::size_t got = request.read(piece, sizeof piece))
            bytes.append(piece, got);
        EXPECT_EQ(bytes.size(), request.size());
        requests->push_back(std::move(bytes));
        if (fail)
            throw Error("connection refused");
        if (error)
            std::rethrow_exception(error);
        response.append(m_reply);
    }

    std::shared_ptr<std::vector<std::string>> requests = std::make_shared<std::vector<std::string>>();
    bool fail = false;
    std::exception_ptr error; ///< raised, when set, once the request has been read

private:
    std::shared_ptr<EventLog> m_log;
    std::string m_reply;
    std::string m_url;
    service::UrlParts m_parts;
    std::string m_action;
};

/// The window's events as the upload sees them: each processing of pending events is logged
/// as "events"; a worker step is waited for without events and counted.
class RecordingPump : public EventPump
{
public:
    explicit RecordingPump(std::shared_ptr<EventLog> log)
        : m_log(std::move(log))
    {
    }
    void processPendingEvents() override { m_log->push_back("events"); }
    void processEventsUntil(StepEnd& end) override
    {
        ++waits;
        end.wait();
    }

    int waits = 0;

private:
    std::shared_ptr<EventLog> m_log;
};

/// A service interface that records the call and answers or fails.
class FakePort : public service::BackupGlebariumPortType
{
public:
    struct Call
    {
        std::string nome;
        std::string cpf;
        std::vector<std::pair<std::string, std::string>> records; ///< NOME, BUF
    };

    FakePort(std::shared_ptr<EventLog> log, std::shared_ptr<std::vector<Call>> calls, std::string reply, bool fail)
        : m_log(std::move(log))
        , m_calls(std::move(calls))
        , m_reply(std::move(reply))
        , m_fail(fail)
    {
    }
    ~FakePort() override { m_log->push_back("port destroyed"); }

    std::string UploadBackup(const std::string& nome, const std::string& cpf, service::ArquivoArray arquivo) override
    {
        m_log->push_back("UploadBackup");
        Call call{nome, cpf, {}};
        for (const auto& record : arquivo)
            call.records.emplace_back(record->NOME(), record->BUF());
        m_calls->push_back(std::move(call));
        if (m_fail)
            throw Error("Server busy");
        return m_reply;
    }

private:
    std::shared_ptr<EventLog> m_log;
    std::shared_ptr<std::vector<Call>> m_calls;
    std::string m_reply;
    bool m_fail;
};

} // namespace glb::test
