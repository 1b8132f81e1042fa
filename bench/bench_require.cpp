// Loads the same set of Lua modules through the core library's archive searcher and through
// Lua's own file searcher, alternating which goes first, and prints one timing line per run:
//   ours <wall seconds> <cpu seconds>  all modules from one archive, through the searcher that
//                                      CDom::RegisterLoader installs
//   peer <wall seconds> <cpu seconds>  the same modules as plain files on package.path
//
// usage: bench_require <archive> <folder> <module prefix> <count> <runs>
// The modules are <prefix>.m<i> (i = 1..count); each returns a table whose field "file" holds
// the file name its loader was given, which tells which searcher found it.

#include <wx/init.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <lua.hpp>

#include "dom.h"
#include "lua_interpreter.h"

namespace {

std::string moduleName(const std::string& prefix, int i)
{
    return prefix + ".m" + std::to_string(i);
}

// Requires every module; false (with a message on stderr) when one fails or was found
// somewhere other than under expectedPrefix.
bool requireAll(lua_State* L, const std::string& prefix, int count, const std::string& expectedPrefix)
{
    for (int i = 1; i <= count; ++i) {
        std::string name = moduleName(prefix, i);
        lua_getglobal(L, "require");      // require
        lua_pushstring(L, name.c_str());  // require name
        if (lua_pcall(L, 1, 1, 0) != LUA_OK) {
            std::fprintf(stderr, "require %s: %s\n", name.c_str(), lua_tostring(L, -1));
            lua_pop(L, 1);
            return false;
        }
        lua_getfield(L, -1, "file");  // module file
        const char* file = lua_tostring(L, -1);
        bool where = file && std::string(file).compare(0, expectedPrefix.size(), expectedPrefix) == 0;
        if (!where)
            std::fprintf(stderr, "%s came from %s, not from %s\n", name.c_str(), file ? file : "?",
                         expectedPrefix.c_str());
        lua_pop(L, 2);
        if (!where)
            return false;
    }
    return true;
}

// Wall and CPU time of one run. On a shared machine the wall time mostly says how busy the
// other processes were; the CPU time of this single-threaded program says how much work the
// run took.
struct Timing {
    double wall = -1;
    double cpu = -1;
};

struct Stopwatch {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    std::clock_t cpu = std::clock();
    Timing read() const
    {
        return {std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(),
                static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC};
    }
};

// One run through the archive searcher, in a fresh state; negative times on failure.
Timing runOurs(VkaCore::CDom& dom, const std::string& archive, const std::string& prefix, int count)
{
    VkaCore::CLuaInterpreter lua(false, "bench", true);
    lua_State* L = lua.L();
    // An empty package.path keeps the file searcher from finding anything behind the archive.
    luaL_dostring(L, "package.path = ''");
    dom.RegisterLoader(L);
    Stopwatch watch;
    if (!requireAll(L, prefix, count, archive + "/"))
        return {};
    return watch.read();
}

// One run through Lua's file searcher, in a fresh state of the same kind; negative times on
// failure.
Timing runPeer(const std::string& folder, const std::string& prefix, int count)
{
    VkaCore::CLuaInterpreter lua(false, "bench", true);
    lua_State* L = lua.L();
    lua_getglobal(L, "package");  // package
    std::string path = folder + "/?.lua";
    lua_pushstring(L, path.c_str());  // package path
    lua_setfield(L, -2, "path");      // package
    lua_pop(L, 1);
    Stopwatch watch;
    if (!requireAll(L, prefix, count, folder + "/"))
        return {};
    return watch.read();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s <archive> <folder> <module prefix> <count> <runs>\n", argv[0]);
        return 2;
    }
    wxInitializer framework;
    std::string archive = argv[1], folder = argv[2], prefix = argv[3];
    int count = std::atoi(argv[4]), runs = std::atoi(argv[5]);

    VkaCore::CDom* dom = VkaCore::CDom::New(nullptr, nullptr, nullptr, false);
    dom->Set("app.lua.zippath", archive);
    int status = 0;
    for (int run = 0; run < runs && status == 0; ++run) {
        // Alternate the order so neither side always meets a warmer cache.
        for (int side = 0; side < 2; ++side) {
            bool ours = (side == 0) == (run % 2 == 0);
            Timing t = ours ? runOurs(*dom, archive, prefix, count) : runPeer(folder, prefix, count);
            if (t.wall < 0) {
                status = 1;
                break;
            }
            std::printf("%s %.6f %.6f\n", ours ? "ours" : "peer", t.wall, t.cpu);
            std::fflush(stdout);
        }
    }
    dom->Dispose();
    return status;
}
