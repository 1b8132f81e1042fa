// Times the module's identifier conversions and prints one line per run:
//   to-lua <entities> <wall seconds> <cpu seconds>    InformationToLua over one record
//   parse <identifiers> <wall seconds> <cpu seconds>  StringToComponent over strings already
//                                                     on the Lua stack
//   loop-to-lua <entities> <wall seconds> <cpu seconds>  the peer: the same entity tables
//                                                     built by a plain Lua loop with string.format
//
// usage: bench_identifiers <components> <runs>
// The record holds `components` items spread over products of 1000 items each, mixing the
// kinds whose display versions take different paths (grouped pattern numbers, scan engines,
// plain versions, friendly names).

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <lua.hpp>

#include "identifiers.h"

namespace {

const uint64_t kItemsPerProduct = 1000;

KVTRELAY_EntityItem entityOf(uint64_t i)
{
    KVTRELAY_EntityItem e{};
    e.language = static_cast<int32_t>(i % 5);  // 0..4, so a few friendly names differ by language
    e.platform = -1;
    e.region = -1;
    e.oem = -1;
    switch (i % 4) {
    case 0:  // pattern numbered by its major alone
        e.klass = 3;
        e.type = 4;
        e.version.major = 1234567 + i;
        break;
    case 1:  // scan engine
        e.klass = 2;
        e.type = 0x48000202;
        e.version = {9, 5000, 1007 + i % 100, 0};
        break;
    case 2:  // plain versioned component without a friendly name
        e.klass = 7;
        e.type = static_cast<int32_t>(100 + i % 1000);
        e.version = {1, 50, i % 7, 0};
        break;
    default:  // the clean-up pattern
        e.klass = 22;
        e.type = 2213;
        e.version = {2, 1000 + i % 9000, 0, 0};
        break;
    }
    return e;
}

// Wall and CPU time of this thread. On a shared machine the wall time mostly says how busy the
// other processes were; the CPU time says how fast the conversion itself is.
// The peer of InformationToLua: what a Lua programmer would write, given the raw fields of
// every entity as a small array (klass, type, language, platform, region, oem, major, minor,
// build, is-product). Display versions and friendly names follow the same rules in spirit:
// grouped digits for patterns numbered by their major, a table of friendly names.
const char kLoopToLua[] = R"(
local raw = ...
local format, floor = string.format, math.floor
local friendly = { [3] = { [4] = { "mezra_english", "mezra_china", "mezra_japan", "mezra_unknown" } },
                   [22] = { [2213] = "vkru" } }
local result = {}
for n = 1, #raw do
  local r = raw[n]
  local klass, kind, language, platform, region, oem = r[1], r[2], r[3], r[4], r[5], r[6]
  local major, minor, build = r[7], r[8], r[9]
  local version
  if klass == 3 and minor == 0 and build == 0 then
    version = format("%d.%03d.%02d", floor(major / 100000), floor(major / 100) % 1000, major % 100)
  elseif build ~= 0 then
    version = format("%d.%d.%d", major, minor, build)
  else
    version = format("%d.%d", major, minor)
  end
  local name
  if r[10] then
    name = format("c%dt%dv%d.%d.%dl%dp%dr%do%d", klass, kind, major, minor, build, language, platform, region, oem)
  else
    name = format("c%dt%dl%dp%dr%do%d", klass, kind, language, platform, region, oem)
  end
  local entry = { klass = klass, type = kind, language = language, platform = platform,
                  region = region, oem = oem, version = version, name = name,
                  extract = format("c%dt%dv%d.%d.%dl%dp%dr%do%d", klass, kind, major, minor, build,
                                   language, platform, region, oem) }
  local byType = friendly[klass]
  local f = byType and byType[kind]
  if type(f) == "table" then f = f[language + 1] end
  if f then
    entry.friendly = f
    result[f] = entry
  end
  result[n] = entry
end
return #result
)";

struct Stopwatch {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    std::clock_t cpu = std::clock();
    // Prints "<label> <count> <wall seconds> <cpu seconds>".
    void report(const char* label, unsigned long long count) const
    {
        double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
        double c = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
        std::printf("%s %llu %.6f %.6f\n", label, count, w, c);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <components> <runs>\n", argv[0]);
        return 2;
    }
    uint64_t components = std::strtoull(argv[1], nullptr, 10);
    int runs = std::atoi(argv[2]);
    if (components == 0 || runs <= 0)
        return 2;

    std::vector<KVTRELAY_EntityItem> items(components);
    for (uint64_t i = 0; i < components; ++i)
        items[i] = entityOf(i);
    std::vector<KVTRELAY_Product> products;
    for (uint64_t first = 0; first < components; first += kItemsPerProduct) {
        KVTRELAY_Product p{};
        p.entity = items[first];
        p.entity.version = {1, 0, 0, 0};
        p.items = &items[first];
        p.itemCount = std::min(kItemsPerProduct, components - first);
        products.push_back(p);
    }
    KVTRELAY_Information information{products.data(), products.size()};
    uint64_t entities = products.size() + components;

    // The identifiers as Lua sees them: component names, extract identifiers and short requests.
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    std::vector<std::string> texts;
    texts.reserve(components);
    for (uint64_t i = 0; i < components; ++i) {
        const KVTRELAY_EntityItem& e = items[i];
        switch (i % 3) {
        case 0: EntityToString(L, e); break;
        case 1: ComponentToString(L, e); break;
        default: lua_pushfstring(L, "c%dt%dl%d", e.klass, e.type, e.language); break;
        }
        texts.emplace_back(lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    int parseCount = static_cast<int>(components);
    if (!lua_checkstack(L, parseCount + 8)) {
        std::fprintf(stderr, "cannot hold %d identifiers on the Lua stack\n", parseCount);
        return 1;
    }
    int base = lua_gettop(L);
    for (const std::string& text : texts)
        lua_pushlstring(L, text.data(), text.size());

    // The peer's input: every entity's raw fields, in the order InformationToLua visits them.
    if (luaL_loadstring(L, kLoopToLua) != LUA_OK) {
        std::fprintf(stderr, "peer loop: %s\n", lua_tostring(L, -1));
        return 1;
    }
    int loop = lua_gettop(L);
    lua_createtable(L, static_cast<int>(entities), 0);
    int raw = lua_gettop(L);
    int rawCount = 0;
    auto pushRaw = [&](const KVTRELAY_EntityItem& e, bool isProduct) {
        const lua_Integer fields[] = {e.klass,
                                      e.type,
                                      e.language,
                                      e.platform,
                                      e.region,
                                      e.oem,
                                      static_cast<lua_Integer>(e.version.major),
                                      static_cast<lua_Integer>(e.version.minor),
                                      static_cast<lua_Integer>(e.version.build)};
        lua_createtable(L, 10, 0);
        for (int f = 0; f < 9; ++f) {
            lua_pushinteger(L, fields[f]);
            lua_rawseti(L, -2, f + 1);
        }
        lua_pushboolean(L, isProduct);
        lua_rawseti(L, -2, 10);
        lua_rawseti(L, raw, ++rawCount);
    };
    for (const KVTRELAY_Product& p : products) {
        pushRaw(p.entity, true);
        for (uint64_t k = 0; k < p.itemCount; ++k)
            pushRaw(p.items[k], false);
    }

    int status = 0;
    for (int run = 0; run < runs; ++run) {
        lua_gc(L, LUA_GCCOLLECT, 0);
        lua_pushvalue(L, loop);
        lua_pushvalue(L, raw);
        Stopwatch peer;
        if (lua_pcall(L, 1, 1, 0) != LUA_OK) {
            std::fprintf(stderr, "peer loop: %s\n", lua_tostring(L, -1));
            return 1;
        }
        peer.report("loop-to-lua", entities);
        lua_pop(L, 1);

        lua_gc(L, LUA_GCCOLLECT, 0);
        Stopwatch toLua;
        InformationToLua(L, &information);
        toLua.report("to-lua", entities);
        // Check the table really holds every entry before trusting the time.
        if (lua_rawlen(L, -1) != entities) {
            std::fprintf(stderr, "result holds %zu entries, expected %llu\n", lua_rawlen(L, -1),
                         static_cast<unsigned long long>(entities));
            status = 1;
        }
        lua_pop(L, 1);

        uint64_t sum = 0;
        int errors = 0;
        Stopwatch parse;
        for (int i = 1; i <= parseCount; ++i) {
            KVTRELAY_EntityItem e;
            if (StringToComponent(L, base + i, e))
                ++errors;
            sum += static_cast<uint32_t>(e.type) + e.version.major;
        }
        parse.report("parse", static_cast<unsigned long long>(parseCount));
        if (errors) {
            std::fprintf(stderr, "%d identifiers did not parse\n", errors);
            status = 1;
        }
        // Printed so the parsing loop cannot be optimised away.
        std::fprintf(stderr, "checksum %llu\n", static_cast<unsigned long long>(sum % 1000));
        std::fflush(stdout);
    }
    lua_close(L);
    return status;
}
