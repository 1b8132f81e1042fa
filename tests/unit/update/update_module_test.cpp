// Unit tests of the module "update" that need the C side: start-up across Lua states, the event
// callback's stack discipline, string conversions and the filtered download's storage.

#include <gtest/gtest.h>

#include <lua.hpp>

#include "contexts.h"
#include "events.h"
#include "identifiers.h"
#include "kvtrelay_double.h"
#include "operations.h"
#include "update_module.h"
#include "wide_strings.h"

#include <cstdlib>
#include <string>

namespace {

struct LuaState {
    lua_State* L = luaL_newstate();
    LuaState() { luaL_openlibs(L); }
    ~LuaState() { lua_close(L); }
};

class UpdateModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        kvtrelay_double_reset();
        luaL_requiref(s.L, "update", luaopen_update, 1);
        lua_pop(s.L, 1);
    }
    KvtDoubleState& relay() { return *kvtrelay_double_state(); }
    LuaState s;
};

std::wstring widen(const std::string& text)
{
    wchar_t* w = NarrowToWide(text.data(), text.size());
    std::wstring out = w ? w : L"<null>";
    std::free(w);
    return out;
}

bool keepAll(const KVTRELAY_EntityItem&, const KVTRELAY_Product*, size_t)
{
    return true;
}

bool keepKlass3(const KVTRELAY_EntityItem& item, const KVTRELAY_Product*, size_t)
{
    return item.klass == 3;
}

KVTRELAY_EntityItem entity(int32_t klass, int32_t type)
{
    KVTRELAY_EntityItem e{};
    e.klass = klass;
    e.type = type;
    e.language = e.platform = e.region = e.oem = -1;
    return e;
}

}  // namespace

TEST_F(UpdateModule, StartsTheRelayOncePerProcessAcrossLuaStates)
{
    LuaState second;
    luaL_requiref(second.L, "update", luaopen_update, 1);
    lua_pop(second.L, 1);
    EXPECT_EQ(relay().startupsEver, 1);

    // A shutdown does not make a later load start the library again.
    ASSERT_EQ(luaL_dostring(second.L, "return update.shutdown()"), LUA_OK);
    LuaState third;
    luaL_requiref(third.L, "update", luaopen_update, 1);
    EXPECT_EQ(relay().startupsEver, 1);
}

TEST_F(UpdateModule, ModuleTableHoldsTheThirteenFunctions)
{
    ASSERT_EQ(luaL_dostring(s.L, "local n = 0 for k, v in pairs(update) do assert(type(v) == 'function') n = n + 1 end "
                                 "return n"),
              LUA_OK);
    EXPECT_EQ(lua_tointeger(s.L, -1), 13);
}

TEST_F(UpdateModule, CallbackAnswersFromTheHandlerAndRestoresTheStack)
{
    lua_State* L = s.L;
    // The stack of an operation in progress: repository, products, sources, options, and more.
    ASSERT_EQ(luaL_dostring(L, "seen = {} return '/repo', 'c3t4', nil, {"
                               " progress = function(e) seen[#seen + 1] = e return e.total == 1 end,"
                               " unknown = function(e) seen[#seen + 1] = e error('boom') end,"
                               " download = function(e) seen[#seen + 1] = e error() end,"
                               " removebegin = 'not a function' }, 'extra'"),
              LUA_OK);
    ASSERT_EQ(lua_gettop(L), 5);

    KVTRELAY_EventMessage one{nullptr, 1, 0};
    KVTRELAY_EventMessage two{nullptr, 2, 1};
    EXPECT_EQ(UpdateEvents::Callback(KVTRELAY_EVENT_PROGRESS, &one, L), 0);
    EXPECT_EQ(UpdateEvents::Callback(KVTRELAY_EVENT_PROGRESS, &two, L), 1);
    EXPECT_EQ(UpdateEvents::Callback(static_cast<KVTRELAY_EventType>(6), nullptr, L), 0);  // error text is true
    EXPECT_EQ(UpdateEvents::Callback(static_cast<KVTRELAY_EventType>(-1), nullptr, L), 0);
    EXPECT_EQ(UpdateEvents::Callback(KVTRELAY_EVENT_DOWNLOAD, nullptr, L), 1);  // nil error value is false
    EXPECT_EQ(UpdateEvents::Callback(KVTRELAY_EVENT_REMOVEBEGIN, nullptr, L), 1);
    EXPECT_EQ(UpdateEvents::Callback(KVTRELAY_EVENT_DOWNLOADEND, nullptr, L), 1);
    EXPECT_EQ(lua_gettop(L), 5);

    ASSERT_EQ(luaL_dostring(L, "return #seen, seen[3].type, seen[4].type, seen[1].finished, seen[3].total"), LUA_OK);
    EXPECT_EQ(lua_tointeger(L, -5), 5);
    EXPECT_STREQ(lua_tostring(L, -4), "unknown");
    EXPECT_STREQ(lua_tostring(L, -3), "unknown");
    EXPECT_EQ(lua_tointeger(L, -2), 0);
    EXPECT_TRUE(lua_isnil(L, -1));
}

TEST_F(UpdateModule, CallbackWithoutAnOptionsTableGoesOn)
{
    lua_State* L = s.L;
    lua_pushstring(L, "/repo");
    EXPECT_EQ(UpdateEvents::Callback(KVTRELAY_EVENT_PROGRESS, nullptr, L), 1);
    EXPECT_EQ(lua_gettop(L), 1);
}

TEST_F(UpdateModule, OperationLeavesOnlyItsThreeResults)
{
    relay().events.push_back(KvtDoubleEvent{1, true, true, L"x", 3, 1, false});
    ASSERT_EQ(luaL_dostring(s.L, "return select('#', update.everything('/nonexistent-repository', 'c3t4', nil,"
                                 " { progress = function() return true end }))"),
              LUA_OK);
    EXPECT_EQ(lua_tointeger(s.L, -1), 3);
    EXPECT_EQ(relay().callbackResults, std::vector<int>{0});
    EXPECT_EQ(relay().liveContexts, 0);
}

TEST(WideStrings, DecodesUtf8AndReplacesInvalidBytes)
{
    EXPECT_EQ(widen("/var/repo"), L"/var/repo");
    EXPECT_EQ(widen("d\xC3\xA9j\xC3\xA0"), L"d\u00e9j\u00e0");
    EXPECT_EQ(widen("\xE4\xB8\xAD/\xF0\x9F\x98\x80"), L"\u4e2d/\U0001F600");
    EXPECT_EQ(widen("a\xFF"
                    "b"),
              L"a\uFFFDb");
    EXPECT_EQ(widen("\x80"), L"\uFFFD");                                // stray continuation
    EXPECT_EQ(widen("\xC0\x80"), L"\uFFFD\uFFFD");                      // overlong
    EXPECT_EQ(widen("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");            // surrogate
    EXPECT_EQ(widen("\xF4\x90\x80\x80"), L"\uFFFD\uFFFD\uFFFD\uFFFD");  // above U+10FFFF
    EXPECT_EQ(widen("x\xE2\x82"), L"x\uFFFD\uFFFD");                    // truncated at the end
    EXPECT_EQ(NarrowToWide(nullptr, 0), nullptr);
}

TEST(WideStrings, NarrowsToAsciiWithQuestionMarks)
{
    LuaState s;
    const wchar_t text[] = {L'o', L'k', 0xE9, static_cast<wchar_t>(-5), 0x7F, 0};
    PushWideAsNarrow(s.L, text);
    EXPECT_STREQ(lua_tostring(s.L, -1), "ok??\x7F");
    PushWideAsNarrow(s.L, nullptr);
    EXPECT_TRUE(lua_isnil(s.L, -1));
}

TEST(DisplayVersion, FollowsKlassAndType)
{
    LuaState s;
    struct Row {
        int32_t klass, type;
        KVT_Version version;
        const char* expected;
    } rows[] = {
        {3, 4, {1234567, 0, 0, 9}, "12.345.67"},
        {3, 4, {1234567, 0, 1, 0}, "1234567.0.1"},  // a build makes it an ordinary version
        {3, 4, {1, 10, 0, 0}, "1.001"},
        {3, 4, {1, 12345, 0, 0}, "1.12345"},
        {2, 0x48000203, {9, 0, 0, 0}, "9.000"},
        {2, 0x48000228, {9, 1234, 3, 0}, "9.1234.3"},
        {2, 0x48000229, {9, 5, 0, 0}, "9.0005"},  // not an engine
        {22, 2213, {1, 5000, 0, 0}, "1.500"},
        {22, 2213, {1, 0, 0, 0}, "1.0"},
        {5, 5, {4294967295u, 0, 4294967295u, 0}, "4294967295.0.4294967295"},
    };
    for (const Row& row : rows) {
        ConvertVersionFormatVT2UI(s.L, row.klass, row.type, &row.version);
        EXPECT_STREQ(lua_tostring(s.L, -1), row.expected) << row.klass << "/" << row.type;
        lua_pop(s.L, 1);
    }
}

TEST(StringForms, ProductAndExtractNamesOfVersionedEntities)
{
    LuaState s;
    KVTRELAY_EntityItem e = entity(2, 0x48000202);
    e.version = {9, 5, 1007, 12};
    ProductToString(s.L, e);
    EXPECT_STREQ(lua_tostring(s.L, -1), "c2t1207960066v9.0005.1007l-1p-1r-1o-1");
    EntityToString(s.L, e);
    EXPECT_STREQ(lua_tostring(s.L, -1), "c2t1207960066v9.0005.1007l-1p-1r-1o-1");
    e.version.minor = 5000;
    EntityToString(s.L, e);
    EXPECT_STREQ(lua_tostring(s.L, -1), "c2t1207960066v9.5000.1007l-1p-1r-1o-1");

    // An extract identifier parses back to the entity without its revision.
    KVTRELAY_EntityItem back{};
    ASSERT_EQ(StringToComponent(s.L, -1, back), nullptr);
    EXPECT_EQ(back.version.minor, 5000u);
    EXPECT_EQ(back.version.build, 1007u);
    EXPECT_EQ(back.version.revision, 0u);
    EXPECT_EQ(back.type, e.type);
}

TEST_F(UpdateModule, FilteredDownloadKeepsProductsWithPassingItemsInOrder)
{
    KvtDoubleProduct a{entity(1, 1), {entity(3, 4), entity(2, 2), entity(3, 5)}, 0};
    KvtDoubleProduct b{entity(1, 2), {entity(2, 2)}, 0};
    KvtDoubleProduct c{entity(1, 3), {entity(3, 9)}, 0};
    relay().getInformation = KvtDoubleInformation{true, {a, b, c}};
    KVTRELAY_Information* information = nullptr;
    // One product asked for; the information holds three.
    KVTRELAY_Product asked{entity(1, 1), nullptr, 0};
    int32_t status = FilteredDownload(reinterpret_cast<KVTRELAY_Context*>(0), &asked, 1, nullptr, 0, keepKlass3,
                                      nullptr, 0, &information);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(information, nullptr);
    const KvtDoubleRequest& sent = relay().duplicateRequest;
    ASSERT_EQ(sent.products.size(), 2u);
    EXPECT_EQ(sent.products[0].entity.type, 1);
    ASSERT_EQ(sent.products[0].items.size(), 2u);
    EXPECT_EQ(sent.products[0].items[1].type, 5);
    EXPECT_EQ(sent.products[1].entity.type, 3);
    EXPECT_EQ(relay().liveInformations, 0);
}

TEST_F(UpdateModule, FilteredDownloadReportsStorageItCannotAllocate)
{
    KvtDoubleProduct huge{entity(3, 4), {}, uint64_t(1) << 60};
    KvtDoubleProduct more{entity(3, 5), {}, uint64_t(1) << 62};
    for (const auto& products :
         {std::vector<KvtDoubleProduct>{huge}, std::vector<KvtDoubleProduct>{more, more, more, more, more}}) {
        kvtrelay_double_reset();
        relay().getInformation = KvtDoubleInformation{true, products};
        KVTRELAY_Information* information = nullptr;
        EXPECT_EQ(FilteredDownload(nullptr, nullptr, 0, nullptr, 0, keepAll, nullptr, 0, &information), -4);
        EXPECT_EQ(relay().calls["Duplicate"], 0);
        EXPECT_EQ(relay().calls["DestroyData"], 1);
        EXPECT_EQ(relay().liveInformations, 0);
    }
}

TEST_F(UpdateModule, FilteredDownloadWithoutInformationSendsAnEmptyRequest)
{
    KVTRELAY_Information* information = nullptr;
    EXPECT_EQ(FilteredDownload(nullptr, nullptr, 0, nullptr, 0, keepAll, nullptr, 0, &information), 1);
    EXPECT_TRUE(relay().duplicateRequest.seen);
    EXPECT_TRUE(relay().duplicateRequest.products.empty());
}

TEST_F(UpdateModule, VtTrueSwitchesTheRemovalStepOffInEitherOrder)
{
    lua_State* L = s.L;
    // Options are applied in traversal order; each case starts from the mode the other key
    // would have left, so both orders of vt and removevt are covered.
    struct Case {
        const char* options;
        int before, after;
    } cases[] = {
        {"return 1, 2, 3, { vt = true }", 2, 0},          // removevt came first
        {"return 1, 2, 3, { removevt = print }", 0, -2},  // vt = true came first
        {"return 1, 2, 3, { removevt = print }", 1, 2},  {"return 1, 2, 3, { vt = false }", -2, 2},
        {"return 1, 2, 3, { vt = false }", 1, 1},
    };
    for (const Case& c : cases) {
        lua_settop(L, 0);
        ASSERT_EQ(luaL_dostring(L, c.options), LUA_OK);
        int mode = c.before;
        EXPECT_EQ(ContextOptions(L, nullptr, mode), nullptr) << c.options;
        EXPECT_EQ(mode, c.after) << c.options << " from " << c.before;
        EXPECT_EQ(lua_gettop(L), 4);
    }
}
