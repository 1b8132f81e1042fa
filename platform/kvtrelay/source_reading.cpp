// Reading the index of an update source from the first of the given sources that answers.

#include "source_reading.h"

#include <new>
#include <utility>

#include "relay_log.h"

namespace kvtrelay {

int32_t ReadSources(KVTRELAY_Context& context, const KVTRELAY_Source* sources, uint64_t count, std::unique_ptr<CTransport>& transport,
                    SourceIndex& index)
{
    transport.reset();
    int32_t status = KVTRELAY_E_SOURCE;
    TransportSettings settings;
    settings.maxBandwidth = context.maxBandwidth;
    settings.httpsLevel = context.httpsLevel;
    // Read only: a listing, which creates nothing, may use the copy but never writes it.
    KeptIndex kept;
    LoadKeptIndex(context.repository, kept);
    // Sources are alternatives, tried in order: the first whose index reads wins.
    for (uint64_t i = 0; i < count; ++i) {
        if (!sources[i].url || !sources[i].url[0]) {
            status = KVTRELAY_E_SOURCE;
            AppendRelayLog(context.repository, "source " + std::to_string(i + 1) + ": no url");
            continue;
        }
        std::unique_ptr<CTransport> t(new (std::nothrow) CTransport(settings));
        if (!t)
            return KVTRELAY_E_NOMEMORY;
        std::string text, error;
        t->OfferKeptIndex(kept);
        status = t->Open(sources[i], text);
        if (status > 0 && !ParseIndex(text, index, error))
            status = KVTRELAY_E_INDEX;
        if (status > 0) {
            transport = std::move(t);
            return KVTRELAY_S_OK;
        }
        std::string reason = status == KVTRELAY_E_INDEX && !error.empty() ? "malformed index, " + error : t->Error();
        AppendRelayLog(context.repository,
                       t->Location(kIndexName) + ": " + (reason.empty() ? "cannot be read" : reason));
    }
    return status;
}

}  // namespace kvtrelay
