#pragma once
// Shared helpers of the relay tests: temporary folders, sample sources made with the zip tool,
// and a recorder of relay events.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "folder_listing.h"
#include "kvtrelay.h"
#include "file_paths.h"
#include "folders.h"
#include "text_conversion.h"
#include "sha256_stream.h"
#include "entity_identity.h"
#include "source_index.h"

using VkaTest::ListFolder;

namespace relaytest {

inline std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline int Shell(const std::string& command)
{
    return system(command.c_str());
}

// Bytes that do not compress, so the package is as large as its content.
inline std::string Noise(size_t size)
{
    std::string s(size, 0);
    uint32_t x = 12345;
    for (char& c : s) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 24);
    }
    return s;
}

inline KVTRELAY_EntityItem Entity(const std::string& id)
{
    KVTRELAY_EntityItem e{};
    EXPECT_TRUE(kvtrelay::ParseEntityId(id, e)) << id;
    return e;
}

/// A product request as the module sends it: no version, -1 where not given.
inline KVTRELAY_Product Request(int32_t klass, int32_t type, int32_t language = -1)
{
    KVTRELAY_Product p{};
    p.entity.klass = klass;
    p.entity.type = type;
    p.entity.language = language;
    p.entity.platform = p.entity.region = p.entity.oem = -1;
    return p;
}

/// An update source folder: packages made with zip, index.txt written with their sizes and digests.
class CSampleSource {
public:
    explicit CSampleSource(const std::string& folder);
    /// Adds a component package holding files {name: text} under product.
    void AddComponent(const std::string& product, const std::string& component,
                      const std::vector<std::pair<std::string, std::string>>& files);
    /// Writes index.txt.
    void WriteIndex();
    const std::string& Folder() const { return m_folder; }
    /// Path of a component's package in the source.
    std::string PackagePath(const std::string& component) const;

private:
    std::string m_folder;
    std::vector<std::pair<std::string, std::vector<std::string>>> m_products;
};

/// Test base: the library started, a fresh temporary folder, events recorded.
class RelayTest : public ::testing::Test {
public:
    struct Event {
        KVTRELAY_EventType type;
        std::string information;
        uint64_t total, finished;
    };

protected:
    void SetUp() override;
    void TearDown() override;

    std::string Tmp(const std::string& name) const { return m_tmp + "/" + name; }
    /// Opens a context on path, failing the test when it cannot.
    KVTRELAY_Context* Open(const std::string& path);
    /// Subscribes the recorder to every event of the context.
    void Record(KVTRELAY_Context* context);
    int32_t Duplicate(KVTRELAY_Context* context, const std::vector<KVTRELAY_Product>& products, const std::string& url,
                      KVTRELAY_Information** information = nullptr, KVTRELAY_Proxy* proxy = nullptr);

    std::vector<Event> m_events;
    /// The event type and the reply count-down: the recorder answers 0 once this many events
    /// of that type have been seen.
    KVTRELAY_EventType m_cancelOn = KVTRELAY_EVENT_DOWNLOAD;
    int m_cancelAfter = -1;
    std::string m_tmp;

private:
    static int onEvent(KVTRELAY_EventType type, KVTRELAY_EventMessage* message, void* user);
};

}  // namespace relaytest
