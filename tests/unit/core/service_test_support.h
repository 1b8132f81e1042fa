#pragma once
// Helpers shared by the tests of the core services: a private temporary folder, the primary
// domain pointed at it, file reading and evaluating Lua.

#include "dom.h"
#include "log_capture.h"

#include <wx/init.h>
#include <wx/log.h>

#include <lua.hpp>

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
    TempDir()
    {
        std::string tmpl = std::string(::getenv("TMPDIR") ? ::getenv("TMPDIR") : "/tmp") + "/vka-core-XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        const char* made = ::mkdtemp(buf.data());
        m_path = made ? made : "";
    }
    ~TempDir()
    {
        if (!m_path.empty())
            ::nftw(m_path.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    static int removeOne(const char* p, const struct stat*, int, struct FTW*)
    {
        ::remove(p);
        return 0;
    }
    std::string m_path;
};

/// The primary domain of the test process (created once, never disposed).
inline VkaCore::CDom* PrimaryDom()
{
    VkaCore::CDom* dom = VkaCore::CDom::Primary();
    if (!dom)
        dom = VkaCore::CDom::New(nullptr, nullptr, nullptr, false);
    return dom;
}

/// Points the disk log at <work>/<name>.log.
inline void UseWorkFolder(const std::string& work, const std::string& name = "unit")
{
    VkaCore::CDom* dom = PrimaryDom();
    dom->Set("app.path.work", work);
    dom->Set("app.name", name);
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline bool Exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

/// Runs code as a chunk in L and gives its one result through tostring, or "error: <message>".
/// Leaves the stack as it found it.
inline std::string EvalLua(lua_State* L, const std::string& code)
{
    int top = lua_gettop(L);
    std::string result;
    if (luaL_loadbuffer(L, code.data(), code.size(), "=t") != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK) {
        result = std::string("error: ") + lua_tostring(L, -1);
    } else {
        lua_getglobal(L, "tostring");
        lua_insert(L, -2); /* tostring, result */
        lua_call(L, 1, 1);
        result = lua_tostring(L, -1);
    }
    lua_settop(L, top);
    return result;
}

/// Keeps the framework initialised for the whole test program (threads need it). Set up
/// and torn down by the test runner, never from a static destructor, so a child process
/// that ends with exit() does not clean the framework up under a running thread.
class WxEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_ok = wxInitialize(); }
    void TearDown() override
    {
        if (m_ok)
            wxUninitialize();
        m_ok = false;
    }

private:
    bool m_ok = false;
};

}  // namespace VkaTest
