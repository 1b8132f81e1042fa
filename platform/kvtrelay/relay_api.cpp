// The C entry points of the relay library: start-up, contexts, options, events and statuses.

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <sys/stat.h>

#include "kvtrelay.h"
#include "file_paths.h"
#include "folder_files.h"
#include "folders.h"
#include "information_block.h"
#include "mirror.h"
#include "package_export.h"
#include "product_selection.h"
#include "relay_context.h"
#include "source_reading.h"
#include "text_conversion.h"
#include "transport.h"

namespace {

std::mutex g_startMutex;
int g_startCount = 0;
std::atomic<bool> g_started{false};

const KVT_Version kLibraryVersion = {1, 0, 0, 0};

struct StatusText {
    int32_t status;
    const wchar_t* text;
};

// Every text fits the caller's buffer of 64 wide characters with its terminator.
const StatusText kStatusTexts[] = {
    {KVTRELAY_S_OK, L"success"},
    {KVTRELAY_E_INVALIDARG, L"invalid argument"},
    {KVTRELAY_E_NOTSTARTED, L"relay library not started"},
    {KVTRELAY_E_REPOSITORY, L"repository path cannot be used as a folder"},
    {KVTRELAY_E_NOMEMORY, L"out of memory"},
    {KVTRELAY_E_SOURCE, L"no update source could be read"},
    {KVTRELAY_E_INDEX, L"update source index is malformed"},
    {KVTRELAY_E_DOWNLOAD, L"download failed"},
    {KVTRELAY_E_DIGEST, L"package size or SHA-256 digest mismatch"},
    {KVTRELAY_E_CANCELLED, L"operation cancelled by event handler"},
    {KVTRELAY_E_INSECURE, L"plain http refused by httpslevel"},
    {KVTRELAY_E_BUSY, L"repository is locked by another process"},
    {KVTRELAY_E_NOTFOUND, L"component not found in repository"},
    {KVTRELAY_E_EXPORT, L"unpacking the component package failed"},
    {KVTRELAY_E_WRITE, L"writing to the repository failed"},
    {KVTRELAY_E_SCHEME, L"unsupported update source url"},
};

bool started()
{
    return g_started.load();
}

int32_t runSourced(KVTRELAY_Context* context, const KVTRELAY_Product* products, uint64_t productCount,
                   const KVTRELAY_Source* sources, uint64_t sourceCount, KVTRELAY_Information** information,
                   bool mirror)
{
    if (information)
        *information = nullptr;
    if (!started())
        return KVTRELAY_E_NOTSTARTED;
    if (!context || !information || (productCount && !products) || (sourceCount && !sources))
        return KVTRELAY_E_INVALIDARG;
    kvtrelay::Selection selection;
    // Only a mirror makes the repository folder; listing leaves the file system alone.
    if (mirror && productCount > 0 && fdio::MakeFolders(context->repository, kvtrelay::kFolderMode) != 0)
        return KVTRELAY_E_REPOSITORY;
    if (productCount > 0) {
        // Nothing requested needs no source: the answer is an empty information.
        std::unique_ptr<kvtrelay::CTransport> transport;
        kvtrelay::SourceIndex index;
        int32_t status = kvtrelay::ReadSources(*context, sources, sourceCount, transport, index);
        if (status <= 0)
            return status;
        selection = kvtrelay::SelectProducts(index, products, productCount);
        if (mirror) {
            status = kvtrelay::MirrorSelection(*context, *transport, selection);
            if (status <= 0)
                return status;
        }
    }
    *information = kvtrelay::MakeInformation(selection);
    return *information ? KVTRELAY_S_OK : KVTRELAY_E_NOMEMORY;
}

}  // namespace

extern "C" {

int32_t KVTRELAY_Startup(void* /*reserved*/)
{
    std::lock_guard<std::mutex> lock(g_startMutex);
    // The transfer library starts with the first http(s) transfer, not here.
    if (g_startCount == 0)
        g_started = true;
    ++g_startCount;
    return KVTRELAY_S_OK;
}

int32_t KVTRELAY_Shutdown(void)
{
    std::lock_guard<std::mutex> lock(g_startMutex);
    if (g_startCount == 0)
        return KVTRELAY_E_NOTSTARTED;
    if (--g_startCount == 0) {
        g_started = false;
        kvtrelay::StopTransferLibrary();
    }
    return KVTRELAY_S_OK;
}

int32_t KVTRELAY_GetVersion(KVT_Version* version)
{
    if (!version)
        return KVTRELAY_E_INVALIDARG;
    *version = kLibraryVersion;
    return KVTRELAY_S_OK;
}

int32_t KVTRELAY_GetStatusMessage(wchar_t* buffer, int32_t status)
{
    if (!buffer)
        return KVTRELAY_E_INVALIDARG;
    const wchar_t* text = status > 0 ? L"success" : L"unknown status";
    for (const StatusText& s : kStatusTexts)
        if (s.status == status)
            text = s.text;
    wcsncpy(buffer, text, 63);
    buffer[63] = 0;
    return KVTRELAY_S_OK;
}

int32_t KVTRELAY_CreateContext(KVTRELAY_Context** context, const wchar_t* repository)
{
    if (context)
        *context = nullptr;
    if (!started())
        return KVTRELAY_E_NOTSTARTED;
    if (!context || !repository || !repository[0])
        return KVTRELAY_E_INVALIDARG;
    // The operator's own link to the repository is followed once, here; one of another user
    // (planted under /tmp before the folder was made, say) is never a repository.
    const std::string path = fdio::ResolveOwnLink(kvtrelay::WideToUtf8(repository));
    // The folder is made by the first mirror, not here: listing and exporting create nothing.
    // A path that is a file, or lies below one, can never be a repository.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 ? !S_ISDIR(st.st_mode) : errno != ENOENT)
        return KVTRELAY_E_REPOSITORY;
    KVTRELAY_Context* c = new (std::nothrow) KVTRELAY_Context;
    if (!c)
        return KVTRELAY_E_NOMEMORY;
    c->repository = path;
    c->keepCount = kvtrelay::kDefaultKeepCount;
    *context = c;
    return KVTRELAY_S_OK;
}

int32_t KVTRELAY_DestroyContext(KVTRELAY_Context* context)
{
    if (!context)
        return KVTRELAY_E_INVALIDARG;
    delete context;
    return KVTRELAY_S_OK;
}

void KVTRELAY_SetOption(KVTRELAY_Context* context, int32_t option, int64_t value)
{
    if (!context)
        return;
    switch (option) {
    case KVTRELAY_OPTION_MAXBANDWIDTH: context->maxBandwidth = value; break;
    case KVTRELAY_OPTION_BUILDPATCH: context->buildPatch = value; break;
    case KVTRELAY_OPTION_MAXMERGE: context->maxMerge = value; break;
    case KVTRELAY_OPTION_DIFFCOUNT: context->diffCount = value; break;
    case KVTRELAY_OPTION_KEEPCOUNT: context->keepCount = value < 0 ? kvtrelay::kDefaultKeepCount : value; break;
    case KVTRELAY_OPTION_HTTPSLEVEL: context->httpsLevel = value < 0 ? 0 : value; break;
    default: break;  // unknown options are ignored, as the declaration returns nothing
    }
}

int32_t KVTRELAY_SubscribeEvent(KVTRELAY_Context* context, KVTRELAY_EventType type, KVTRELAY_EventCallback callback,
                                void* userData)
{
    if (!started())
        return KVTRELAY_E_NOTSTARTED;
    int index = static_cast<int>(type);
    if (!context || index < 0 || index >= kvtrelay::contract::kEventTypeCount)
        return KVTRELAY_E_INVALIDARG;
    context->events[index].callback = callback;
    context->events[index].userData = userData;
    return KVTRELAY_S_OK;
}

int32_t KVTRELAY_GetInformation(KVTRELAY_Context* context, const KVTRELAY_Product* products, uint64_t productCount,
                                const KVTRELAY_Source* sources, uint64_t sourceCount,
                                KVTRELAY_Information** information)
{
    return runSourced(context, products, productCount, sources, sourceCount, information, false);
}

int32_t KVTRELAY_Duplicate(KVTRELAY_Context* context, const KVTRELAY_Product* products, uint64_t productCount,
                           const KVTRELAY_Source* sources, uint64_t sourceCount, KVTRELAY_Information** information)
{
    return runSourced(context, products, productCount, sources, sourceCount, information, true);
}

void KVTRELAY_DestroyData(KVTRELAY_Information* information)
{
    free(information);  // one block holds the record, its products and their items
}

int32_t KVTRELAY_ExportComponent(KVTRELAY_Context* context, const wchar_t* destination, KVTRELAY_EntityItem entity)
{
    if (!started())
        return KVTRELAY_E_NOTSTARTED;
    if (!context || !destination || !destination[0])
        return KVTRELAY_E_INVALIDARG;
    return kvtrelay::ExportFromRepository(*context, kvtrelay::WideToUtf8(destination), entity);
}

}  // extern "C"
