// Mirroring over http from a loopback server: plain, through a proxy record, with https
// preferred or required, with a bandwidth limit, from a server that breaks off, answers 404,
// ignores ranges, trickles, sends chunks or redirects.

#include "relay_fixture.h"
#include "transport.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <signal.h>
#include <sys/wait.h>
#include <thread>

using namespace relaytest;

namespace {

const char* const kProduct = "c3t4v1.0.0l1p-1r-1o-1";
const char* const kPattern = "c3t4v1.5000.0l1p-1r-1o-1";
const char* const kEngineProduct = "c2t1207960066v9.0.0l-1p-1r-1o-1";
const char* const kEngine = "c2t1207960066v9.5000.1007l-1p-1r-1o-1";

class HttpTest : public RelayTest {
protected:
    void SetUp() override
    {
        RelayTest::SetUp();
        m_source.reset(new CSampleSource(Tmp("source")));
        m_source->AddComponent(kProduct, kPattern, {{"a.txt", "pattern a"}});
        m_source->AddComponent(kEngineProduct, kEngine, {{"engine.bin", Noise(2500000)}});
        m_source->WriteIndex();
        m_repo = Tmp("repo");
    }

    void TearDown() override
    {
        StopServer();
        kvtrelay::SetTransferLimits(kvtrelay::TransferLimits());
        RelayTest::TearDown();
    }

    // Starts a helper script with args; waits at most 10 s for the port it writes to portFile.
    std::string Spawn(const std::string& script, std::vector<std::string> args, const std::string& portFile)
    {
        unlink(portFile.c_str());
        std::string path = std::string(VKA_SOURCE_DIR) + "/tests/unit/relay/" + script;
        args.insert(args.begin(), {"python3", path});
        pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp("python3", argv.data());
            _exit(127);
        }
        EXPECT_GE(pid, 0);
        if (pid > 0)
            m_children.push_back(pid);
        for (int i = 0; i < 200 && !Exists(portFile); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(Exists(portFile)) << script << " did not start";
        return ReadText(portFile);
    }

    void StartServer(const std::string& mode = "whole")
    {
        m_port = Spawn("serve_source.py", {m_source->Folder(), Tmp("port"), Tmp("requests.log"), mode}, Tmp("port"));
    }

    void StopServer()
    {
        for (pid_t pid : m_children) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        m_children.clear();
    }

    std::string Url() const { return "http://127.0.0.1:" + m_port; }
    std::vector<KVTRELAY_Product> All() const { return {Request(3, 4), Request(2, 1207960066)}; }

    // Client ports of the logged requests: one per connection.
    std::set<std::string> Connections() const
    {
        std::set<std::string> ports;
        std::istringstream in(ReadText(Tmp("requests.log")));
        std::string line;
        while (std::getline(in, line))
            ports.insert(line.substr(0, line.find(' ')));
        return ports;
    }

    std::unique_ptr<CSampleSource> m_source;
    std::string m_repo, m_port;
    std::vector<pid_t> m_children;
};

}  // namespace

TEST_F(HttpTest, MirrorsOverOneConnection)
{
    StartServer();
    KVTRELAY_Context* c = Open(m_repo);
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), Url() + "/"));
    for (const char* id : {kPattern, kEngine})
        EXPECT_EQ(ReadText(m_source->PackagePath(id)), ReadText(m_repo + "/packages/" + id + ".zip")) << id;
    EXPECT_EQ(1u, Connections().size()) << ReadText(Tmp("requests.log"));
    // Plain http needs nothing of the transfer library, which costs more to load than a re-run.
    EXPECT_EQ(std::string::npos, ReadText("/proc/self/maps").find("libcurl"));
    KVTRELAY_DestroyContext(c);
}

TEST_F(HttpTest, BodiesInChunksOrToTheCloseAndRedirectsAreRead)
{
    for (std::string mode : {"chunked", "close", "redirect"}) {
        StartServer(mode);
        KVTRELAY_Context* c = Open(m_repo);
        ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), Url() + (mode == "redirect" ? "/moved" : ""))) << mode;
        for (const char* id : {kPattern, kEngine})
            EXPECT_EQ(ReadText(m_source->PackagePath(id)), ReadText(m_repo + "/packages/" + id + ".zip")) << mode;
        std::string log = ReadText(Tmp("requests.log"));
        EXPECT_EQ(mode == "close" ? 3u : 1u, Connections().size()) << mode << "\n" << log;
        if (mode == "redirect") {
            EXPECT_NE(std::string::npos, log.find(" GET /index.txt HTTP/1.1\n")) << log;
        }
        KVTRELAY_DestroyContext(c);
        StopServer();
        unlink(Tmp("requests.log").c_str());
        Shell("rm -rf '" + m_repo + "'");
    }
}

TEST_F(HttpTest, HostileAnswersFailTheSourceWithTheirReason)
{
    std::pair<const char*, const char*> cases[] = {{"endless", "more than 5 redirects"},
                                                   {"badchunk", "malformed chunk size"},
                                                   {"hugehead", "longer than 65536 bytes"}};
    for (const auto& k : cases) {
        StartServer(k.first);
        KVTRELAY_Context* c = Open(m_repo);
        EXPECT_EQ(KVTRELAY_E_SOURCE, Duplicate(c, All(), Url())) << k.first;
        EXPECT_NE(std::string::npos, ReadText(m_repo + "/relay.log").find(k.second)) << k.first;
        KVTRELAY_DestroyContext(c);
        StopServer();
        Shell("rm -rf '" + m_repo + "'");
    }
}

TEST_F(HttpTest, HttpsLevels)
{
    StartServer();
    KVTRELAY_Context* c = Open(m_repo);
    KVTRELAY_SetOption(c, KVTRELAY_OPTION_HTTPSLEVEL, 2);
    EXPECT_EQ(KVTRELAY_E_INSECURE, Duplicate(c, All(), Url()));
    EXPECT_TRUE(ReadText(Tmp("requests.log")).empty());  // refused before any connection
    EXPECT_FALSE(Exists(m_repo + "/packages"));
    // Preferring https: the plain server cannot speak it, so the relay falls back to http.
    KVTRELAY_SetOption(c, KVTRELAY_OPTION_HTTPSLEVEL, 1);
    EXPECT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), Url()));
    EXPECT_EQ(2u, ListFolder(m_repo + "/packages").size());
    KVTRELAY_DestroyContext(c);
}

TEST_F(HttpTest, ProxyRecordIsUsed)
{
    StartServer();
    KVTRELAY_Context* c = Open(m_repo);
    // The source's host does not exist; only the proxy can answer for it.
    std::wstring host = L"127.0.0.1";
    KVTRELAY_Proxy proxy{};
    proxy.type = 0;
    proxy.host = &host[0];
    proxy.port = static_cast<uint16_t>(std::stoi(m_port));
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), "http://source.invalid", nullptr, &proxy));
    EXPECT_NE(std::string::npos, ReadText(Tmp("requests.log")).find("GET http://source.invalid/index.txt"));
    KVTRELAY_DestroyContext(c);
}

TEST_F(HttpTest, Socks5ProxyWithCredentials)
{
    StartServer();
    std::string proxyPort = Spawn("socks5_proxy.py", {m_port, Tmp("socks-port"), Tmp("socks.log")}, Tmp("socks-port"));
    KVTRELAY_Context* c = Open(m_repo);
    std::wstring host = L"127.0.0.1", user = L"relay", password = L"s3cret";
    KVTRELAY_Proxy proxy{};
    proxy.type = 1;
    proxy.host = &host[0];
    proxy.port = static_cast<uint16_t>(std::stoi(proxyPort));
    proxy.user = &user[0];
    proxy.password = &password[0];
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), "http://source.invalid", nullptr, &proxy));
    EXPECT_EQ(2u, ListFolder(m_repo + "/packages").size());
    // The proxy resolved the name, and was asked once: the connection served every file.
    EXPECT_EQ("auth relay s3cret\nconnect source.invalid 80\n", ReadText(Tmp("socks.log")));
    KVTRELAY_DestroyContext(c);
}

TEST_F(HttpTest, BandwidthLimitSlowsTheTransfer)
{
    m_source->AddComponent(kEngineProduct, kEngine, {{"engine.bin", Noise(600000)}});
    m_source->WriteIndex();
    StartServer();
    KVTRELAY_Context* c = Open(m_repo);
    KVTRELAY_SetOption(c, KVTRELAY_OPTION_MAXBANDWIDTH, 200000);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, {Request(2, 1207960066)}, Url()));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(seconds, 2.0);  // 600 KB at 200 KB/s
    KVTRELAY_DestroyContext(c);
}

TEST_F(HttpTest, VanishingSourceLeavesTheRepositoryAsItWas)
{
    // A first mirror of the pattern only, from a whole server.
    StartServer();
    KVTRELAY_Context* c = Open(m_repo);
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, {Request(3, 4)}, Url()));
    StopServer();
    std::vector<std::string> files = ListFolder(m_repo + "/packages");
    std::string ini = ReadText(m_repo + "/server.ini");

    StartServer("cut");
    Record(c);
    EXPECT_EQ(KVTRELAY_E_DOWNLOAD, Duplicate(c, {Request(2, 1207960066)}, Url()));
    // What arrived waits in the part file for the next run; the failure names file, url and reason.
    files.insert(files.begin(), std::string(kEngine) + ".zip.part");
    EXPECT_EQ(files, ListFolder(m_repo + "/packages"));
    EXPECT_EQ(ini, ReadText(m_repo + "/server.ini"));
    EXPECT_EQ(KVTRELAY_EVENT_DOWNLOADEND, m_events.back().type);
    EXPECT_EQ(0u, m_events.back().information.find(std::string(kEngine) + ".zip from " + Url() + "/packages/" +
                                                   kEngine + ".zip: transfer closed with "));
    KVTRELAY_DestroyContext(c);
}

TEST_F(HttpTest, InterruptedDownloadGoesOn)
{
    std::string range =
        ".zip HTTP/1.1 bytes=" + std::to_string(ReadText(m_source->PackagePath(kEngine)).size() / 2) + "-";
    for (const char* mode : {"whole", "norange"}) {
        StartServer("cut");
        KVTRELAY_Context* c = Open(m_repo);
        EXPECT_EQ(KVTRELAY_E_DOWNLOAD, Duplicate(c, {Request(2, 1207960066)}, Url()));
        StopServer();
        unlink(Tmp("requests.log").c_str());
        StartServer(mode);
        EXPECT_EQ(KVTRELAY_S_OK, Duplicate(c, {Request(2, 1207960066)}, Url())) << mode;
        EXPECT_EQ(ReadText(m_source->PackagePath(kEngine)), ReadText(m_repo + "/packages/" + kEngine + ".zip"));
        // The rest is asked for; a server that sends the whole file instead is asked again from 0.
        std::string log = ReadText(Tmp("requests.log"));
        EXPECT_NE(std::string::npos, log.find(range)) << log;
        EXPECT_EQ(std::string(mode) == "norange", log.find(".zip HTTP/1.1\n") != std::string::npos) << log;
        StopServer();
        KVTRELAY_DestroyContext(c);
        Shell("rm -rf '" + m_repo + "'");
    }
}

TEST_F(HttpTest, MissingPackageDoesNotStopTheOthers)
{
    unlink(m_source->PackagePath(kPattern).c_str());
    StartServer();
    KVTRELAY_Context* c = Open(m_repo);
    EXPECT_EQ(KVTRELAY_E_DOWNLOAD, Duplicate(c, All(), Url()));
    EXPECT_EQ(std::vector<std::string>{std::string(kEngine) + ".zip"}, ListFolder(m_repo + "/packages"));
    EXPECT_EQ(std::string::npos, ReadText(m_repo + "/server.ini").find(kPattern));
    EXPECT_NE(std::string::npos, ReadText(m_repo + "/relay.log")
                                     .find(std::string(kPattern) + ".zip from " + Url() + "/packages/" + kPattern +
                                           ".zip: HTTP status 404\n"));
    KVTRELAY_DestroyContext(c);
}

TEST_F(HttpTest, SlowTransfersEnd)
{
    StartServer("trickle");  // 250 bytes per second
    std::pair<kvtrelay::TransferLimits, const char*> cases[] = {{{1024, 2, 120, 8192}, "too slow"},
                                                                {{1, 60, 1, 1 << 30}, "timed out"}};
    for (const auto& k : cases) {
        kvtrelay::SetTransferLimits(k.first);
        KVTRELAY_Context* c = Open(m_repo);
        Record(c);
        m_events.clear();
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(KVTRELAY_E_DOWNLOAD, Duplicate(c, {Request(2, 1207960066)}, Url())) << k.second;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 10.0) << k.second;
        EXPECT_NE(std::string::npos, m_events.back().information.find(k.second)) << m_events.back().information;
        // While bytes arrive, progress comes about once a second.
        EXPECT_GE(std::count_if(m_events.begin(), m_events.end(),
                                [](const Event& e) { return e.type == KVTRELAY_EVENT_PROGRESS; }) +
                      1.5,
                  seconds);
        KVTRELAY_DestroyContext(c);
    }
}
