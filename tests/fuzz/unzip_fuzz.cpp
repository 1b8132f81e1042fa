// Plugin packages, Lua archives and component packages are ZIP files that others control.
// Unpacking one (by the core library and by the relay's export) must never write outside the
// target folder nor write any name that the safety rule did not pass, and the module searcher
// must read any archive without harm. All of them see the same bytes in one run.
#include "fuzz_support.h"
#include "lua_sandbox.h"

#include "dom.h"
#include "lua_interpreter.h"
#include "unzip.h"
#include "zip_archive.h"
#ifdef VKA_FUZZ_EXPORT
#include "package_export.h"
#endif

#include <lua.hpp>

#include <cstring>
#include <memory>
#include <set>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Modules a test archive may hold: "fuzzmod.lua", "pkg/sub.lua" or "pkg/sub/init.lua".
const char* const kModules[] = {"fuzzmod", "pkg.sub"};

std::set<std::string> entriesOf(const std::string& folder)
{
    std::set<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.insert(entry->d_name);
        }
        ::closedir(dir);
    }
    return names;
}

int refuseLinks(const char*, const struct stat* st, int kind, struct FTW*)
{
    FUZZ_CHECK(kind != FTW_SL && !S_ISLNK(st->st_mode));
    return 0;
}

// Every path below folder, relative to it ("a", "a/b", ...).
void collect(const std::string& folder, const std::string& prefix, std::set<std::string>& paths)
{
    for (const std::string& name : entriesOf(folder)) {
        const std::string relative = prefix.empty() ? name : prefix + "/" + name;
        paths.insert(relative);
        struct stat st;
        if (::lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            collect(folder + "/" + name, relative, paths);
    }
}

// What the rule allows to appear below the target: each passed name and the folders above it,
// with "." components and repeated slashes gone. Nothing at all when the rule refuses any name.
std::set<std::string> allowedBy(const std::string& archive)
{
    std::set<std::string> allowed;
    std::string reason;
    std::unique_ptr<ziparchive::CArchive> zip = ziparchive::CArchive::Open(archive, reason);
    if (!zip || ziparchive::FirstRefused(zip->Entries(), reason))
        return allowed;
    for (const ziparchive::Entry& entry : zip->Entries()) {
        std::string path, part;
        for (size_t at = 0; at <= entry.name.size(); ++at) {
            if (at < entry.name.size() && entry.name[at] != '/') {
                part += entry.name[at];
            } else if (!part.empty() && part != ".") {
                path += (path.empty() ? "" : "/") + part;
                allowed.insert(path);
                part.clear();
            } else {
                part.clear();
            }
        }
    }
    return allowed;
}

// Checks what landed in out against the rule, and clears it.
void checkWritten(const std::string& out, const std::set<std::string>& allowed)
{
    struct stat st;
    FUZZ_CHECK(::lstat(out.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    ::nftw(out.c_str(), refuseLinks, 16, FTW_PHYS);
    std::set<std::string> written;
    collect(out, "", written);
    for (const std::string& path : written)
        FUZZ_CHECK(allowed.count(path) == 1);
}

bool extractEverything(void*, const wxZipEntry*, const wxString*)
{
    return true;
}

// Module code may wreck the globals it finds, so every input gets an interpreter of its own,
// whose require looks only in the archive list and whose globals reach nothing outside.
void prepare(VkaCore::CLuaInterpreter& lua, VkaCore::CDom& dom)
{
    lua_State* L = lua.L();
    dom.RegisterLoader(L);
    FUZZ_CHECK(luaL_dostring(L,
                             "os, io, dofile, loadfile = nil, nil, nil, nil\n"
                             "package.loadlib = nil\n"
                             "for i = #package.searchers, 3, -1 do table.remove(package.searchers, i) end") == LUA_OK);
    lua_settop(L, 0);
    fuzz::LimitState(L);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::InitFramework();
    static VkaCore::CDom* dom = VkaCore::CDom::New(nullptr, nullptr, nullptr, false);

    // root/nest/box/out is the target; the archive sits in box. Anything else that appears in
    // box, nest or root was written outside the target.
    const std::string root = fuzz::ScratchFolder();
    const std::string nest = root + "/nest";
    const std::string box = nest + "/box";
    const std::string out = box + "/out";
    const std::string archive = box + "/input.zip";
    fuzz::RemoveTree(nest);
    FUZZ_CHECK(::mkdir(nest.c_str(), 0700) == 0 && ::mkdir(box.c_str(), 0700) == 0 && ::mkdir(out.c_str(), 0700) == 0);
    fuzz::WriteFile(archive, data, size);
    // The catalogue cache recognises a file by size and time stamp; a rewrite of the same size
    // within one clock tick would look unchanged, so each input gets a time of its own.
    static time_t tick = 0;
    ++tick;
    const struct timespec times[2] = {{tick, 0}, {tick, 0}};
    ::utimensat(AT_FDCWD, archive.c_str(), times, 0);

    const std::set<std::string> allowed = allowedBy(archive);
    (void)VkaCore::Unzip(wxFileName(wxString::FromUTF8(archive.c_str())),
                         wxFileName::DirName(wxString::FromUTF8(out.c_str())), extractEverything, nullptr);
    checkWritten(out, allowed);
#ifdef VKA_FUZZ_EXPORT
    fuzz::RemoveTree(out);
    FUZZ_CHECK(::mkdir(out.c_str(), 0700) == 0);
    (void)kvtrelay::UnpackPackage(archive, out);
    checkWritten(out, allowed);
#endif

    FUZZ_CHECK(entriesOf(root) == std::set<std::string>{"nest"});
    FUZZ_CHECK(entriesOf(nest) == std::set<std::string>{"box"});
    FUZZ_CHECK((entriesOf(box) == std::set<std::string>{"input.zip", "out"}));

    // The same bytes as a Lua archive, listed twice so that a miss searches it again.
    dom->Set("app.lua.zippath", archive + ";" + archive);
    VkaCore::CLuaInterpreter lua(false, "fuzz", true);
    prepare(lua, *dom);
    lua_State* L = lua.L();
    for (const char* module : kModules) {
        lua_getglobal(L, "require");
        lua_pushstring(L, module);
        (void)lua_pcall(L, 1, 1, 0);
        lua_settop(L, 0);
    }
    return 0;
}
