#pragma once
// Helpers shared by the tests of the log, tracing, unzip, execute, pid file, crash handler
// and thread services: a private temporary folder, the primary domain pointed at it, and
// file reading.

#include "dom.h"

#include <wx/init.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VkaTest {

/// A folder of its own for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir() {
        std::string tmpl = std::string(::getenv("TMPDIR") ? ::getenv("TMPDIR") : "/tmp") + "/vka-core-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        const char* made = ::mkdtemp(buf.data());
        m_path = made ? made : "";
    }
    ~TempDir() {
        if (!m_path.empty())
            ::nftw(m_path.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    static int removeOne(const char* p, const struct stat*, int, struct FTW*) {
        ::remove(p);
        return 0;
    }
    std::string m_path;
};

/// The primary domain of the test process (created once, never disposed).
inline VkaCore::CDom* PrimaryDom() {
    VkaCore::CDom* dom = VkaCore::CDom::Primary();
    if (!dom)
        dom = VkaCore::CDom::New(nullptr, nullptr, nullptr, false);
    return dom;
}

/// Points the disk log at <work>/<name>.log.
inline void UseWorkFolder(const std::string& work, const std::string& name = "unit") {
    VkaCore::CDom* dom = PrimaryDom();
    dom->Set("app.path.work", work);
    dom->Set("app.name", name);
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

/// Keeps the framework initialised for the whole test program (threads need it). Set up
/// and torn down by the test runner, never from a static destructor, so a child process
/// that ends with exit() does not clean the framework up under a running thread.
class WxEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_ok = wxInitialize(); }
    void TearDown() override {
        if (m_ok)
            wxUninitialize();
        m_ok = false;
    }

private:
    bool m_ok = false;
};

} // namespace VkaTest
