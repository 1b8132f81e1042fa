#pragma once
// Registration of the domain object's Lua members with the class binder.

#include "dom.h"

#include <SLB3/slb3.h>

namespace SLB3 {

/// Enters the domain object's Lua members: Get, GetBool, GetInt, Type, Set, Unset, Keys,
/// Events, Log, Trace.
template <> struct Wrapper<VkaCore::CDom> {
    static void Register(Class& cls);
};

}  // namespace SLB3
