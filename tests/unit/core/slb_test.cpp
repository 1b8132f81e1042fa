// The class binder: metatable layout, ownership at collection and close, argument checks,
// stack balance.

#include <SLB3/slb3.h>

#include <gtest/gtest.h>

#include <memory>
#include <cstring>
#include <string>

namespace {

const char* const kThing = "Test.Thing";

struct Thing {
    explicit Thing(int* deletions) : deletions(deletions) {}
    ~Thing() { ++*deletions; }
    int* deletions;
    int value = 7;
};

int thingValue(lua_State* L)
{
    Thing* t = SLB3::Check<Thing>(L, 1, kThing);
    lua_pushinteger(L, t->value);
    return 1;
}

struct LuaState {
    LuaState() : L(luaL_newstate()) { luaL_openlibs(L); }
    ~LuaState()
    {
        if (L)
            lua_close(L);
    }
    void close()
    {
        lua_close(L);
        L = nullptr;
    }
    lua_State* L;
};

void defineThing(lua_State* L)
{
    SLB3::Class cls(L, kThing);
    cls.method("value", thingValue);
}

// Runs code; returns "" on success or the error message.
std::string run(lua_State* L, const char* code)
{
    if (luaL_loadbuffer(L, code, strlen(code), "=t") == LUA_OK && lua_pcall(L, 0, LUA_MULTRET, 0) == LUA_OK) {
        lua_settop(L, 0);
        return "";
    }
    std::string msg = lua_tostring(L, -1);
    lua_settop(L, 0);
    return msg;
}

}  // namespace

TEST(SlbClass, MetatableHasIndexClassAndFinaliser)
{
    LuaState s;
    lua_State* L = s.L;
    EXPECT_FALSE(SLB3::HasClass(L, kThing));
    int top = lua_gettop(L);
    defineThing(L);
    EXPECT_EQ(lua_gettop(L), top);
    EXPECT_TRUE(SLB3::HasClass(L, kThing));

    luaL_getmetatable(L, kThing);
    lua_getfield(L, -1, "__class");
    EXPECT_STREQ(lua_tostring(L, -1), kThing);
    lua_getfield(L, -2, "__gc");
    EXPECT_TRUE(lua_iscfunction(L, -1));
    lua_getfield(L, -3, "__index");
    ASSERT_TRUE(lua_istable(L, -1));
    lua_getfield(L, -1, "value");
    EXPECT_TRUE(lua_iscfunction(L, -1));
    lua_settop(L, top);
}

TEST(SlbOwnership, BorrowedObjectSurvivesCollectionAndClose)
{
    int deletions = 0;
    Thing thing(&deletions);
    {
        LuaState s;
        defineThing(s.L);
        SLB3::PushRef(s.L, &thing, kThing);
        lua_setglobal(s.L, "t");
        EXPECT_EQ(run(s.L, "assert(t:value() == 7); t = nil"), "");
        lua_gc(s.L, LUA_GCCOLLECT, 0);
        EXPECT_EQ(deletions, 0);
        SLB3::PushRef(s.L, &thing, kThing);
        lua_setglobal(s.L, "u");
    }  // lua_close finalises every userdata
    EXPECT_EQ(deletions, 0);
}

TEST(SlbOwnership, OwnedObjectIsDeletedOnceByCollectorOrClose)
{
    int deletions = 0;
    {
        LuaState s;
        defineThing(s.L);
        SLB3::PushOwned(s.L, std::make_unique<Thing>(&deletions), kThing);
        lua_setglobal(s.L, "t");
        lua_gc(s.L, LUA_GCCOLLECT, 0);
        EXPECT_EQ(deletions, 0);  // still referenced
        EXPECT_EQ(run(s.L, "t = nil"), "");
        lua_gc(s.L, LUA_GCCOLLECT, 0);
        EXPECT_EQ(deletions, 1);

        SLB3::PushOwned(s.L, std::make_unique<Thing>(&deletions), kThing);
        lua_setglobal(s.L, "v");
    }
    EXPECT_EQ(deletions, 2);
}

TEST(SlbOwnership, PushWithoutClassFreesOwnedObjectAndRaises)
{
    int deletions = 0;
    LuaState s;
    lua_State* L = s.L;
    struct Args {
        int* deletions;
    } args{&deletions};
    lua_pushcfunction(L, [](lua_State* L) -> int {
        auto* a = static_cast<Args*>(lua_touserdata(L, 1));
        SLB3::PushBox(
            L, new Thing(a->deletions), [](void* p) { delete static_cast<Thing*>(p); }, "No.Class");
        return 1;
    });
    lua_pushlightuserdata(L, &args);
    ASSERT_NE(lua_pcall(L, 1, 1, 0), LUA_OK);
    EXPECT_STREQ(lua_tostring(L, -1), "class 'No.Class' is not defined");
    EXPECT_EQ(deletions, 1);
}

TEST(SlbCheck, WrongValueIsAnArgumentError)
{
    int deletions = 0;
    Thing thing(&deletions);
    LuaState s;
    lua_State* L = s.L;
    defineThing(L);
    lua_register(L, "value", thingValue);
    SLB3::PushRef(L, &thing, kThing);
    lua_setglobal(L, "t");
    EXPECT_EQ(run(L, "value(5)"), "t:1: bad argument #1 to 'value' (Test.Thing expected, got number)");
    EXPECT_EQ(run(L, "value({})"), "t:1: bad argument #1 to 'value' (Test.Thing expected, got table)");
    EXPECT_EQ(run(L, "value(io.stdout)"), "t:1: bad argument #1 to 'value' (Test.Thing expected, got userdata)");
    EXPECT_EQ(run(L, "t.value(nil)"), "t:1: bad argument #1 to 'value' (Test.Thing expected, got nil)");
    EXPECT_EQ(run(L, "assert(value(t) == 7)"), "");
    EXPECT_EQ(lua_gettop(L), 0);
}
