// The relay library's entry points, answered from KvtDoubleState.

#include "kvtrelay_double.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

struct KVTRELAY_Context {
    std::map<int, std::pair<KVTRELAY_EventCallback, void*>> subscriptions;
};

namespace {

KvtDoubleState& state()
{
    static KvtDoubleState s;
    return s;
}

int32_t answer(const char* name)
{
    KvtDoubleState& s = state();
    ++s.calls[name];
    auto it = s.statuses.find(name);
    return it == s.statuses.end() ? 1 : it->second;
}

KvtDoubleRequest record(const KVTRELAY_Product* products, uint64_t productCount, const KVTRELAY_Source* sources,
                        uint64_t sourceCount)
{
    KvtDoubleRequest r;
    r.seen = true;
    r.productsNull = products == nullptr;
    for (uint64_t i = 0; i < productCount; ++i) {
        KvtDoubleProduct p;
        p.entity = products[i].entity;
        for (uint64_t k = 0; k < products[i].itemCount; ++k)
            p.items.push_back(products[i].items[k]);
        r.products.push_back(p);
    }
    for (uint64_t i = 0; i < sourceCount; ++i) {
        KvtDoubleSource d;
        d.hasUrl = sources[i].url != nullptr;
        if (d.hasUrl)
            d.url = sources[i].url;
        const KVTRELAY_Proxy* proxy = sources[i].proxy;
        d.hasProxy = proxy != nullptr;
        if (proxy) {
            d.proxyType = proxy->type;
            d.port = proxy->port;
            if ((d.hasHost = proxy->host != nullptr))
                d.host = proxy->host;
            if ((d.hasUser = proxy->user != nullptr))
                d.user = proxy->user;
            if ((d.hasPassword = proxy->password != nullptr))
                d.password = proxy->password;
        }
        r.sources.push_back(d);
    }
    return r;
}

void fireEvents(KVTRELAY_Context* context)
{
    KvtDoubleState& s = state();
    for (const KvtDoubleEvent& e : s.events) {
        auto it = context->subscriptions.find(e.type);
        if (it == context->subscriptions.end() && e.anyCallback && !context->subscriptions.empty())
            it = context->subscriptions.begin();
        if (it == context->subscriptions.end()) {
            s.callbackResults.push_back(-1);
            continue;
        }
        std::wstring text = e.information;
        KVTRELAY_EventMessage message{e.hasInformation ? &text[0] : nullptr, e.total, e.finished};
        int result = it->second.first(static_cast<KVTRELAY_EventType>(e.type), e.hasMessage ? &message : nullptr,
                                      it->second.second);
        s.callbackResults.push_back(result);
    }
}

KVTRELAY_Information* handOut(const KvtDoubleInformation& script)
{
    if (!script.present)
        return nullptr;
    auto* info = new KVTRELAY_Information;
    info->count = script.products.size();
    info->products = new KVTRELAY_Product[info->count ? info->count : 1];
    for (size_t i = 0; i < script.products.size(); ++i) {
        const KvtDoubleProduct& p = script.products[i];
        KVTRELAY_Product& out = info->products[i];
        out.entity = p.entity;
        if (p.forcedItemCount) {
            out.items = nullptr;
            out.itemCount = p.forcedItemCount;
        } else {
            out.itemCount = p.items.size();
            out.items = new KVTRELAY_EntityItem[p.items.size() ? p.items.size() : 1];
            std::copy(p.items.begin(), p.items.end(), out.items);
        }
    }
    ++state().liveInformations;
    return info;
}

}  // namespace

extern "C" {

KvtDoubleState* kvtrelay_double_state()
{
    return &state();
}

void kvtrelay_double_reset()
{
    long startups = state().startupsEver;
    state() = KvtDoubleState();
    state().startupsEver = startups;
}

int32_t KVTRELAY_Startup(void*)
{
    ++state().startupsEver;
    return answer("Startup");
}

int32_t KVTRELAY_Shutdown(void)
{
    return answer("Shutdown");
}

int32_t KVTRELAY_GetVersion(KVT_Version* version)
{
    int32_t status = answer("GetVersion");
    if (status > 0)
        *version = state().version;
    return status;
}

int32_t KVTRELAY_GetStatusMessage(wchar_t* buffer, int32_t)
{
    ++state().calls["GetStatusMessage"];
    // The caller's buffer holds 64 characters; never write past it.
    std::wcsncpy(buffer, state().statusMessage.c_str(), 63);
    buffer[63] = 0;
    return 1;
}

int32_t KVTRELAY_CreateContext(KVTRELAY_Context** context, const wchar_t* repository)
{
    KvtDoubleState& s = state();
    int32_t status = answer("CreateContext");
    s.lastRepositoryNull = repository == nullptr;
    s.lastRepository = repository ? repository : L"";
    if (status > 0) {
        *context = new KVTRELAY_Context;
        ++s.liveContexts;
    }
    return status;
}

int32_t KVTRELAY_DestroyContext(KVTRELAY_Context* context)
{
    int32_t status = answer("DestroyContext");
    if (context) {
        delete context;
        --state().liveContexts;
    }
    return status;
}

void KVTRELAY_SetOption(KVTRELAY_Context*, int32_t option, int64_t value)
{
    ++state().calls["SetOption"];
    state().options.emplace_back(option, value);
}

int32_t KVTRELAY_SubscribeEvent(KVTRELAY_Context* context, KVTRELAY_EventType type, KVTRELAY_EventCallback callback,
                                void* userData)
{
    int32_t status = answer("SubscribeEvent");
    state().subscriptions.push_back(type);
    context->subscriptions[type] = {callback, userData};
    return status;
}

int32_t KVTRELAY_GetInformation(KVTRELAY_Context* context, const KVTRELAY_Product* products, uint64_t productCount,
                                const KVTRELAY_Source* sources, uint64_t sourceCount,
                                KVTRELAY_Information** information)
{
    KvtDoubleState& s = state();
    int32_t status = answer("GetInformation");
    s.getInformationRequest = record(products, productCount, sources, sourceCount);
    fireEvents(context);
    *information = handOut(s.getInformation);
    return status;
}

int32_t KVTRELAY_Duplicate(KVTRELAY_Context* context, const KVTRELAY_Product* products, uint64_t productCount,
                           const KVTRELAY_Source* sources, uint64_t sourceCount, KVTRELAY_Information** information)
{
    KvtDoubleState& s = state();
    int32_t status = answer("Duplicate");
    s.duplicateRequest = record(products, productCount, sources, sourceCount);
    fireEvents(context);
    *information = handOut(s.duplicate);
    return status;
}

void KVTRELAY_DestroyData(KVTRELAY_Information* information)
{
    ++state().calls["DestroyData"];
    if (!information)
        return;
    for (uint64_t i = 0; i < information->count; ++i)
        delete[] information->products[i].items;
    delete[] information->products;
    delete information;
    --state().liveInformations;
}

int32_t KVTRELAY_ExportComponent(KVTRELAY_Context*, const wchar_t* destination, KVTRELAY_EntityItem entity)
{
    KvtDoubleState& s = state();
    int32_t status = answer("ExportComponent");
    s.exportDestination = destination ? destination : L"";
    s.exportEntity = entity;
    return status;
}

}  // extern "C"
