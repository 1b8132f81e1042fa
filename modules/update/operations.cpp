// The working functions of the module: list, the three downloads, extract and the removal step.

#include "operations.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "contexts.h"
#include "folder_files.h"
#include "record_lock.h"
#include "regular_file.h"
#include "identifiers.h"
#include "relay_contract.h"
#include "status_triple.h"
#include "wide_strings.h"

namespace {

using namespace RelayContract;

enum class RelayCall { GetInformation, Duplicate, Filtered };

/// Whether the repository is cleared after the relay call (the removal step).
enum class Afterwards { KeepRepository, RemovalStep };

/// Where the identifiers that items must match come from.
enum class Filter { None, Argument5 };

struct Operation {
    RelayCall call;
    ItemFilter accept;  ///< for RelayCall::Filtered
    Afterwards afterwards;
    Filter filter;
};

bool isPatternLike(const KVTRELAY_EntityItem& item)
{
    // One non-pattern travels with the patterns.
    return item.klass == kKlassRules && item.type == kTypeVkru;
}

bool acceptPattern(const KVTRELAY_EntityItem& item, const KVTRELAY_Product*, size_t)
{
    return item.klass == kKlassPattern || isPatternLike(item);
}

bool acceptPatternExceptMezra(const KVTRELAY_EntityItem& item, const KVTRELAY_Product*, size_t)
{
    return (item.klass == kKlassPattern && item.type != kTypeMezra) || isPatternLike(item);
}

bool acceptListed(const KVTRELAY_EntityItem& item, const KVTRELAY_Product* filter, size_t filterCount)
{
    for (size_t i = 0; i < filterCount; ++i)
        if (filter[i].entity.klass == item.klass && filter[i].entity.type == item.type)
            return true;
    return false;
}

// Size in bytes of `count` records of `size`, or 0 when that does not fit a size_t.
size_t bytesFor(uint64_t count, size_t size)
{
    if (count > SIZE_MAX / size)
        return 0;
    return static_cast<size_t>(count) * size;
}

// What l_function converts from its arguments. luaL_error never returns, so release() runs
// before every raise as well as after the relay call.
struct CallArguments {
    KVTRELAY_Context* context = nullptr;
    KVTRELAY_Product* products = nullptr;
    size_t productCount = 0;
    KVTRELAY_Source* sources = nullptr;
    size_t sourceCount = 0;
    KVTRELAY_Product* filter = nullptr;
    size_t filterCount = 0;

    void release()
    {
        DestroyProducts(filter, filterCount);
        DestroySources(sources, sourceCount);
        DestroyProducts(products, productCount);
        DestroyContext(context);
        filter = products = nullptr;
        sources = nullptr;
        filterCount = sourceCount = productCount = 0;
    }

    int raise(lua_State* L, const char* error)
    {
        release();
        return luaL_error(L, "%s", error);
    }
};

int l_function(lua_State* L, const Operation& op)
{
    CallArguments a;
    if (int pushed = CreateContext(L, a.context))
        return pushed;
    if (const char* error = LuaToProducts(L, 2, &a.products, a.productCount))
        return a.raise(L, error);
    if (const char* error = LuaToSources(L, 3, &a.sources, a.sourceCount))
        return a.raise(L, error);
    int removalMode = kRemovalOn;
    if (const char* error = ContextOptions(L, a.context, removalMode))
        return a.raise(L, error);
    if (op.filter == Filter::Argument5 && !lua_isnoneornil(L, 5))
        if (const char* error = LuaToProducts(L, 5, &a.filter, a.filterCount))
            return a.raise(L, error);

    // Event handlers run inside these calls and find the options table at argument 4.
    KVTRELAY_Information* information = nullptr;
    int32_t status;
    switch (op.call) {
    case RelayCall::GetInformation:
        status = KVTRELAY_GetInformation(a.context, a.products, a.productCount, a.sources, a.sourceCount, &information);
        break;
    case RelayCall::Duplicate:
        status = KVTRELAY_Duplicate(a.context, a.products, a.productCount, a.sources, a.sourceCount, &information);
        break;
    default:
        status = FilteredDownload(a.context, a.products, a.productCount, a.sources, a.sourceCount, op.accept, a.filter,
                                  a.filterCount, &information);
        break;
    }

    if (status > 0 && information) {
        InformationToLua(L, information);
        KVTRELAY_DestroyData(information);
    } else {
        // A failing library may still hand back an information; it is freed all the same.
        if (information)
            KVTRELAY_DestroyData(information);
        lua_pushnil(L);
    }
    PushStatus(L, status);
    int results = lua_gettop(L);

    a.release();

    if (op.afterwards == Afterwards::RemovalStep && removalMode > 0) {
        // Runs whatever the status; its results and errors never change the operation's.
        lua_pushcfunction(L, l_removevt);
        lua_pushvalue(L, 1);
        int arguments = 1;
        if (removalMode == kRemovalWithHandler) {
            lua_pushstring(L, "removevt");
            lua_rawget(L, 4);
            arguments = 2;
        }
        lua_pcall(L, arguments, 0, 0);
        lua_settop(L, results);
    }
    return 3;
}

// Whether a package file is one the update server left behind. Short names and merged
// packages are the repository's own.
bool isServerPackage(const char* name)
{
    size_t n = std::strlen(name);
    size_t zip = std::strlen(kPackageSuffix);
    size_t merged = std::strlen(kMergedPackageSuffix);
    return n > kServerPackageMinLength && std::strcmp(name + n - zip, kPackageSuffix) == 0 &&
           std::strcmp(name + n - merged, kMergedPackageSuffix) != 0;
}

// Takes the writer's record lock on the repository's lock file, waiting as long as the relay
// would; null, or why not (another operation still holds it then, or the file is not fit).
const char* lockRepository(const std::string& folder, fdio::CFd& lock)
{
    int fd = -1;
    struct stat st;
    const fdio::OpenResult opened = fdio::OpenRegularFile(folder + kLockFile, fd, st, O_RDWR | O_CREAT | O_NOFOLLOW);
    if (opened == fdio::OpenResult::NotRegular)
        return "cannot be locked: relay.lock is not a regular file";
    if (opened == fdio::OpenResult::Failed)
        return "cannot be locked: relay.lock cannot be opened";
    lock.Reset(fd);
    int timeout = kDefaultLockTimeout;
    if (const char* text = std::getenv(kLockTimeoutVariable)) {
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (*text && !*end && value >= 0 && value < 86400)
            timeout = static_cast<int>(value);
    }
    const int err = fdio::WaitForRecordLock(fd, true, timeout);
    // A file system without record locks keeps nobody apart; the step goes on as it always did.
    return fdio::LockHeldElsewhere(err) ? "is busy: another operation holds its lock" : nullptr;
}

// Deletes the update server's packages from packages (regular files only, found through the
// real folder: a link planted as the folder or as a package is not followed), asking the
// handler at stack index 2 first when there is one; a true answer keeps the file.
void removePackages(lua_State* L, const std::string& packages, bool hasHandler)
{
    fdio::CFd dir(fdio::OpenFolder(packages));
    if (!dir.IsOpen())
        return;
    for (const std::string& name : fdio::NamesAt(dir.Get())) {
        if (!isServerPackage(name.c_str()))
            continue;
        if (hasHandler) {
            lua_pushvalue(L, 2);
            lua_pushstring(L, (packages + "/" + name).c_str());
            lua_pcall(L, 1, 1, 0);  // an error keeps the file: its error value counts as the result
            bool keep = lua_toboolean(L, -1);
            lua_pop(L, 1);
            if (keep)
                continue;
        }
        fdio::RemoveRegularAt(dir.Get(), name);
    }
}

}  // namespace

int32_t FilteredDownload(KVTRELAY_Context* context, const KVTRELAY_Product* products, size_t productCount,
                         const KVTRELAY_Source* sources, size_t sourceCount, ItemFilter accept,
                         const KVTRELAY_Product* filter, size_t filterCount, KVTRELAY_Information** information)
{
    *information = nullptr;
    KVTRELAY_Information* listed = nullptr;
    int32_t status = KVTRELAY_GetInformation(context, products, productCount, sources, sourceCount, &listed);
    if (status <= 0) {
        if (listed)
            KVTRELAY_DestroyData(listed);
        return status;
    }

    uint64_t listedProducts = listed ? listed->count : 0;
    uint64_t listedItems = 0;
    bool fits = true;
    for (uint64_t i = 0; i < listedProducts && fits; ++i) {
        uint64_t count = listed->products[i].itemCount;
        fits = count <= UINT64_MAX - listedItems;
        listedItems += fits ? count : 0;
    }
    // The information may hold more products than were asked for; room for all of them.
    size_t itemBytes = bytesFor(listedItems ? listedItems : 1, sizeof(KVTRELAY_EntityItem));
    size_t productBytes = bytesFor(listedProducts ? listedProducts : 1, sizeof(KVTRELAY_Product));
    auto* items = fits && itemBytes ? static_cast<KVTRELAY_EntityItem*>(std::malloc(itemBytes)) : nullptr;
    auto* kept = productBytes ? static_cast<KVTRELAY_Product*>(std::malloc(productBytes)) : nullptr;
    if (!items || !kept) {
        std::free(items);
        std::free(kept);
        KVTRELAY_DestroyData(listed);
        return KVTRELAY_E_NOMEMORY;
    }

    size_t used = 0;
    size_t keptCount = 0;
    for (uint64_t i = 0; i < listedProducts; ++i) {
        const KVTRELAY_Product& product = listed->products[i];
        size_t first = used;
        for (uint64_t k = 0; k < product.itemCount; ++k)
            if (accept(product.items[k], filter, filterCount))
                items[used++] = product.items[k];
        if (used > first)
            kept[keptCount++] = KVTRELAY_Product{product.entity, items + first, used - first};
    }
    if (listed)
        KVTRELAY_DestroyData(listed);

    status = KVTRELAY_Duplicate(context, keptCount ? kept : nullptr, keptCount, sources, sourceCount, information);
    std::free(items);
    std::free(kept);
    return status;
}

int l_list(lua_State* L)
{
    return l_function(L, {RelayCall::GetInformation, nullptr, Afterwards::KeepRepository, Filter::None});
}

int l_everything(lua_State* L)
{
    return l_function(L, {RelayCall::Duplicate, nullptr, Afterwards::RemovalStep, Filter::None});
}

int l_patterns(lua_State* L)
{
    return l_function(L, {RelayCall::Filtered, acceptPattern, Afterwards::RemovalStep, Filter::None});
}

int l_patternsExceptMezra(lua_State* L)
{
    return l_function(L, {RelayCall::Filtered, acceptPatternExceptMezra, Afterwards::RemovalStep, Filter::None});
}

int l_components(lua_State* L)
{
    return l_function(L, {RelayCall::Filtered, acceptListed, Afterwards::KeepRepository, Filter::Argument5});
}

int l_extract(lua_State* L)
{
    if (!lua_isstring(L, 3))
        return luaL_argerror(L, 3, "expected destination directory");
    if (lua_istable(L, 2)) {
        // A component table from tocomponent or a listing can be passed as it is.
        lua_getfield(L, 2, "extract");
        lua_replace(L, 2);
    }
    KVTRELAY_EntityItem entity;
    if (const char* error = StringToComponent(L, 2, entity))
        return luaL_argerror(L, 2, error);
    KVTRELAY_Context* context = nullptr;
    if (int pushed = CreateContext(L, context))
        return pushed;
    wchar_t* destination = LuaToWide(L, 3);
    int32_t status = KVTRELAY_ExportComponent(context, destination, entity);
    std::free(destination);
    DestroyContext(context);
    return PushStatusTriple(L, status);
}

namespace {

// Whether path is a regular file itself, not a link to one, looked at without blocking.
bool isRegularFile(const std::string& path)
{
    int fd = -1;
    struct stat st;
    if (fdio::OpenRegularFile(path, fd, st, O_NOFOLLOW) != fdio::OpenResult::Opened)
        return false;
    ::close(fd);
    return true;
}

// Whether the file named at `path` opens for reading, through the io table at `io`.
bool ioFileExists(lua_State* L, int io, int path)
{
    lua_getfield(L, io, "open");
    lua_pushvalue(L, path);
    lua_pushstring(L, "r");
    lua_call(L, 2, 1); /* file or nil */
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        return false;
    }
    lua_getfield(L, io, "close");
    lua_insert(L, -2); /* close, file */
    lua_call(L, 1, 0);
    return true;
}

}  // namespace

int l_removevt(lua_State* L)
{
    if (!lua_isstring(L, 1))
        return luaL_argerror(L, 1, "expected repository path");
    bool hasHandler = !lua_isnoneornil(L, 2);
    if (hasHandler && !lua_isfunction(L, 2))
        return luaL_argerror(L, 2, "expected function");
    lua_settop(L, 2);

    size_t length = 0;
    const char* repository = lua_tolstring(L, 1, &length);
    const char* separator = length > 0 && repository[length - 1] == '/' ? "" : "/";
    const char* serverIni = lua_pushfstring(L, "%s%s%s", repository, separator, kServerIni); /* 3 */
    const std::string folder = std::string(repository) + separator;

    // Only a regular file counts: a FIFO would hang the check, and a link must not make the
    // stub land in the file it points to. The state's io library then decides whether the
    // file may be touched at all, so a host that sandboxes io governs this step too.
    lua_getglobal(L, "io"); /* 4 */
    if (!isRegularFile(serverIni) || !ioFileExists(L, 4, 3)) {
        lua_pushnil(L);
        lua_pushfstring(L, "%s is not a repository", repository);
        return 2;
    }
    lua_settop(L, 2);

    // A writer like a mirror: without the lock, packages a running mirror is about to record
    // would go from under it.
    fdio::CFd lock;
    if (const char* why = lockRepository(folder, lock)) {
        lua_pushnil(L);
        lua_pushfstring(L, "%s %s", repository, why);
        return 2;
    }
    fdio::ReplaceFile(folder + kServerIni, kServerIniStub, 0644);
    // A repository served as a source must not go on naming the packages deleted below.
    if (isRegularFile(folder + kIndexFile))
        fdio::ReplaceFile(folder + kIndexFile, kEmptyIndex, 0644);
    removePackages(L, folder + kPackagesFolder, hasHandler);
    lua_pushboolean(L, 1);
    return 1;
}
