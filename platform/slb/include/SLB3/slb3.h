#pragma once
// A small Lua class binder. A class is a metatable kept in the registry under its name, with
// "__index" the class table of its members, "__class" the class name and "__gc" a finaliser
// that deletes only objects Lua owns. Objects pushed by reference are never deleted by Lua.

#include <lua.hpp>

#include <memory>
#include <typeinfo>

namespace SLB3 {

/// The userdata payload of every bound object.
struct Box {
    void* object;
    void (*destroy)(void*);  // null when Lua does not own the object
    const char* className;
};

/// A class under construction in one Lua state; leaves the stack as it found it.
class Class {
public:
    /// Starts the class name: creates its metatable in the registry, or reopens the existing one.
    Class(lua_State* L, const char* name);
    ~Class();
    Class(const Class&) = delete;
    Class& operator=(const Class&) = delete;

    /// Enters a member function; it receives the object as argument 1.
    Class& method(const char* name, lua_CFunction fn);
    /// Closes the definition (pops the class table and metatable); called by the destructor too.
    void close();

    lua_State* state() const { return m_L; }
    const char* name() const { return m_name; }

private:
    lua_State* m_L;
    const char* m_name;
    int m_top;
    bool m_open = true;
};

/// Specialised per bound type: Register(cls) enters that type's members.
template <class T> struct Wrapper;

/// True when a metatable for the class name is already in the registry of L.
bool HasClass(lua_State* L, const char* name);

/// Pushes a userdata with the class metatable name (which must exist). destroy null: borrowed.
void PushBox(lua_State* L, void* object, void (*destroy)(void*), const char* className);

/// The object in a userdata of class name at idx, raising an argument error otherwise.
void* CheckBox(lua_State* L, int idx, const char* className);

/// Pushes obj by reference (Lua never deletes it); a null obj pushes nil.
template <class T> void PushRef(lua_State* L, T* obj, const char* className)
{
    if (!obj) {
        lua_pushnil(L);
        return;
    }
    PushBox(L, obj, nullptr, className);
}

/// Pushes obj owned by Lua: the finaliser deletes it.
template <class T> void PushOwned(lua_State* L, std::unique_ptr<T> obj, const char* className)
{
    if (!obj) {
        lua_pushnil(L);
        return;
    }
    PushBox(
        L, obj.release(), [](void* p) { delete static_cast<T*>(p); }, className);
}

/// The object of class name at idx (argument error when it is something else).
template <class T> T* Check(lua_State* L, int idx, const char* className)
{
    return static_cast<T*>(CheckBox(L, idx, className));
}

}  // namespace SLB3
