// The report of an escaped exception: one opening and one closing trace line in the disk log.
#include "agent_app.h"

#include "dom.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include <unistd.h>

namespace {

struct NotAStdException {};

class ExceptionReport : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vka-exreport-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_work = pattern;
        m_app = new CAgentApp();
        VkaCore::CDom* dom = VkaCore::CDom::Primary();
        ASSERT_NE(dom, nullptr);
        dom->Set("app.path.work", m_work);
        dom->Set("app.name", std::string("exreport"));
        dom->Set("app.trace", std::string("Appl"));
    }

    void TearDown() override
    {
        delete m_app;
        std::system(("rm -rf '" + m_work + "'").c_str());
    }

    // The trace texts the hook wrote while handling what thrower throws.
    std::vector<std::string> ReportOf(const std::function<void()>& thrower)
    {
        try {
            thrower();
        } catch (...) {
            m_app->OnUnhandledException();
        }
        std::vector<std::string> texts;
        std::ifstream log(m_work + "/exreport.log");
        std::string line;
        while (std::getline(log, line)) {
            const std::string::size_type at = line.find("OnUnhandledException: ");
            if (line.find(" TRACE [Appl] ") != std::string::npos && at != std::string::npos)
                texts.push_back(line.substr(at + 22));
        }
        return texts;
    }

    static std::string Closing(const std::string& description)
    {
        return "OnUnhandledException() - caught unhandled " + description + ", terminating app.";
    }

    std::string m_work;
    CAgentApp* m_app = nullptr;
};

TEST_F(ExceptionReport, NamesEachKindOfExceptionByTheFirstMatchingType)
{
    const std::string runtimeName = typeid(std::runtime_error).name();
    struct Case {
        std::function<void()> thrower;
        std::string description;
    };
    const std::vector<Case> cases = {
        {[] { throw std::runtime_error("boom"); }, "std::exception of type \"" + runtimeName + "\", what() = \"boom\""},
        {[] { throw "plain text"; }, "char * exception 'plain text'"},
        {[] { throw L"wide text"; }, "wchar_t * exception 'wide text'"},
        {[] { throw 42; }, "int exception 42"},
        {[] { throw 4000000000u; }, "unsigned int exception 4000000000"},
        {[] { throw -5L; }, "long exception -5"},
        {[] { throw 18446744073709551615ULL; }, "unsigned long long exception 18446744073709551615"},
        {[] { throw NotAStdException(); }, "<unknown exception>"},
    };
    for (const Case& c : cases) {
        std::system(("rm -f '" + m_work + "/exreport.log'").c_str());
        const std::vector<std::string> texts = ReportOf(c.thrower);
        ASSERT_EQ(texts.size(), 2u) << c.description;
        EXPECT_EQ(texts[0], "OnUnhandledException()");
        EXPECT_EQ(texts[1], Closing(c.description));
    }
}

TEST_F(ExceptionReport, IsSilentWithTracingOffButStillConsumesTheException)
{
    VkaCore::CDom::Primary()->Set("app.trace", std::string("Other"));
    EXPECT_NO_THROW(ReportOf([] { throw std::logic_error("quiet"); }));
    EXPECT_TRUE(ReportOf([] { throw 1; }).empty());
}

TEST_F(ExceptionReport, CalledWithoutAnExceptionInFlightReportsUnknownInsteadOfTerminating)
{
    m_app->OnUnhandledException();
    std::ifstream log(m_work + "/exreport.log");
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find(Closing("<unknown exception>")), std::string::npos);
}

}  // namespace
