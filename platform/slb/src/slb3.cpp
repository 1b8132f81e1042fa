// The class binder: metatables in the registry, boxed objects, the finaliser.

#include <SLB3/slb3.h>

namespace SLB3 {

namespace {

// The finaliser of every bound class. A box whose destroy is null is borrowed: the object
// belongs to C++ and must outlive the state, so the collector leaves it alone.
int collectBox(lua_State* L)
{
    Box* box = static_cast<Box*>(lua_touserdata(L, 1));
    if (box && box->destroy && box->object) {
        void* object = box->object;
        box->object = nullptr;  // a resurrected userdata must not reach a deleted object
        box->destroy(object);
    }
    return 0;
}

}  // namespace

Class::Class(lua_State* L, const char* name) : m_L(L), m_name(name), m_top(lua_gettop(L))
{
    if (luaL_newmetatable(L, name)) {  // mt
        lua_pushstring(L, name);
        lua_setfield(L, -2, "__class");
        lua_pushcfunction(L, collectBox);
        lua_setfield(L, -2, "__gc");
        lua_newtable(L);  // mt members
        lua_pushvalue(L, -1);
        lua_setfield(L, -3, "__index");  // mt.__index = members
    } else {
        lua_getfield(L, -1, "__index");  // mt members
        if (!lua_istable(L, -1)) {
            // Someone else put a metatable under this name; give it a class table.
            lua_pop(L, 1);
            lua_newtable(L);
            lua_pushvalue(L, -1);
            lua_setfield(L, -3, "__index");
        }
    }
}

Class::~Class()
{
    close();
}

Class& Class::method(const char* name, lua_CFunction fn)
{
    if (m_open) {
        lua_pushcfunction(m_L, fn);
        lua_setfield(m_L, m_top + 2, name);  // members[name] = fn
    }
    return *this;
}

void Class::close()
{
    if (m_open) {
        lua_settop(m_L, m_top);
        m_open = false;
    }
}

bool HasClass(lua_State* L, const char* name)
{
    luaL_getmetatable(L, name);  // mt or nil
    bool found = lua_istable(L, -1);
    lua_pop(L, 1);
    return found;
}

void PushBox(lua_State* L, void* object, void (*destroy)(void*), const char* className)
{
    if (!object) {
        lua_pushnil(L);
        return;
    }
    luaL_getmetatable(L, className);  // mt
    if (!lua_istable(L, -1)) {
        lua_pop(L, 1);
        // Lua would never finalise an owned object without its metatable: free it here
        // rather than leak it, then report the caller's mistake.
        if (destroy)
            destroy(object);
        luaL_error(L, "class '%s' is not defined", className);
        return;
    }
    Box* box = static_cast<Box*>(lua_newuserdata(L, sizeof(Box)));  // mt ud
    box->object = object;
    box->destroy = destroy;
    box->className = className;
    lua_insert(L, -2);        // ud mt
    lua_setmetatable(L, -2);  // ud
}

void* CheckBox(lua_State* L, int idx, const char* className)
{
    Box* box = static_cast<Box*>(luaL_testudata(L, idx, className));
    if (!box) {
        const char* msg = lua_pushfstring(L, "%s expected, got %s", className, luaL_typename(L, idx));
        luaL_argerror(L, idx, msg);
        return nullptr;
    }
    if (!box->object)
        luaL_argerror(L, idx, "object has been released");
    return box->object;
}

}  // namespace SLB3
