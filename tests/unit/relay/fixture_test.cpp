// Implementation of the shared test helpers (kept in a *_test.cpp so the test program picks it up).

#include "relay_fixture.h"

#include <algorithm>
#include <dirent.h>

namespace relaytest {

CSampleSource::CSampleSource(const std::string& folder) : m_folder(folder)
{
    fdio::MakeFolders(folder + "/packages", 0777);
}

std::string CSampleSource::PackagePath(const std::string& component) const
{
    return m_folder + "/packages/" + component + ".zip";
}

void CSampleSource::AddComponent(const std::string& product, const std::string& component,
                                 const std::vector<std::pair<std::string, std::string>>& files)
{
    std::string work = m_folder + "/.work-" + component;
    fdio::MakeFolders(work, 0777);
    std::string names;
    for (const auto& f : files) {
        std::string path = work + "/" + f.first;
        fdio::MakeFolders(path.substr(0, path.rfind('/')), 0777);
        WriteText(path, f.second);
        names += " '" + f.first + "'";
    }
    ASSERT_EQ(0, Shell("cd '" + work + "' && zip -q -X '" + PackagePath(component) + "'" + names));
    Shell("rm -rf '" + work + "'");
    for (auto& p : m_products) {
        if (p.first == product) {
            p.second.push_back(component);
            return;
        }
    }
    m_products.push_back({product, {component}});
}

void CSampleSource::WriteIndex()
{
    std::string text = "kvtrelay-index 1\n";
    for (const auto& p : m_products) {
        text += "product " + p.first + "\n";
        for (const std::string& c : p.second) {
            std::string hex;
            uint64_t size = 0;
            ASSERT_TRUE(kvtrelay::HashFile(PackagePath(c), hex, size));
            text += "component " + c + " packages/" + c + ".zip " + std::to_string(size) + " " + hex + "\n";
        }
    }
    WriteText(m_folder + "/index.txt", text);
}

void RelayTest::SetUp()
{
    char pattern[] = "/tmp/relay-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    m_tmp = pattern;
    ASSERT_GT(KVTRELAY_Startup(nullptr), 0);
    // A test that holds the lock must not make others wait long.
    setenv("KVTRELAY_LOCK_TIMEOUT", "5", 1);
}

void RelayTest::TearDown()
{
    KVTRELAY_Shutdown();
    Shell("rm -rf '" + m_tmp + "'");
}

KVTRELAY_Context* RelayTest::Open(const std::string& path)
{
    KVTRELAY_Context* context = nullptr;
    std::wstring wide = kvtrelay::Utf8ToWide(path);
    EXPECT_GT(KVTRELAY_CreateContext(&context, wide.c_str()), 0) << path;
    return context;
}

int RelayTest::onEvent(KVTRELAY_EventType type, KVTRELAY_EventMessage* message, void* user)
{
    RelayTest* self = static_cast<RelayTest*>(user);
    Event e{type, "", 0, 0};
    if (message) {
        e.information = kvtrelay::WideToUtf8(message->information);
        e.total = message->total;
        e.finished = message->finished;
    }
    self->m_events.push_back(e);
    if (self->m_cancelAfter >= 0 && type == self->m_cancelOn && self->m_cancelAfter-- == 0)
        return 0;
    return 1;
}

void RelayTest::Record(KVTRELAY_Context* context)
{
    for (int t = 0; t < 6; ++t)
        ASSERT_GT(KVTRELAY_SubscribeEvent(context, static_cast<KVTRELAY_EventType>(t), onEvent, this), 0);
}

int32_t RelayTest::Duplicate(KVTRELAY_Context* context, const std::vector<KVTRELAY_Product>& products,
                             const std::string& url, KVTRELAY_Information** information, KVTRELAY_Proxy* proxy)
{
    std::wstring wide = kvtrelay::Utf8ToWide(url);
    KVTRELAY_Source source{};
    source.url = &wide[0];
    source.proxy = proxy;
    KVTRELAY_Information* info = nullptr;
    int32_t status = KVTRELAY_Duplicate(context, products.data(), products.size(), &source, 1, &info);
    if (information)
        *information = info;
    else
        KVTRELAY_DestroyData(info);
    return status;
}

}  // namespace relaytest
