// Choosing, from a source's index, what an operation lists or mirrors.
#include "product_selection.h"

#include "entity_identity.h"

namespace kvtrelay {

Selection SelectProducts(const SourceIndex& index, const KVTRELAY_Product* products, uint64_t count)
{
    Selection selection;
    for (const IndexProduct& offered : index.products) {
        bool matched = false;
        std::vector<bool> chosen(offered.components.size(), false);
        for (uint64_t r = 0; r < count; ++r) {
            const KVTRELAY_Product& request = products[r];
            if (!EntityMatches(request.entity, offered.entity))
                continue;
            matched = true;
            for (size_t c = 0; c < offered.components.size(); ++c) {
                if (request.itemCount == 0 || !request.items) {
                    chosen[c] = true;
                    continue;
                }
                for (uint64_t i = 0; i < request.itemCount && !chosen[c]; ++i)
                    chosen[c] = ItemMatches(request.items[i], offered.components[c].entity);
            }
        }
        if (!matched)
            continue;
        IndexProduct p;
        p.entity = offered.entity;
        for (size_t c = 0; c < offered.components.size(); ++c)
            if (chosen[c])
                p.components.push_back(offered.components[c]);
        // A request naming items keeps only products where one of them was found.
        if (p.components.empty() && !offered.components.empty())
            continue;
        selection.products.push_back(p);
    }
    return selection;
}

}  // namespace kvtrelay
