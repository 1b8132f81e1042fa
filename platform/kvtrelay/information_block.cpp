// The information record handed to callers, built as one block.
#include "information_block.h"

#include <cstdlib>

namespace kvtrelay {

KVTRELAY_Information* MakeInformation(const Selection& selection)
{
    size_t items = 0;
    for (const IndexProduct& p : selection.products)
        items += p.components.size();
    size_t bytes = sizeof(KVTRELAY_Information) + selection.products.size() * sizeof(KVTRELAY_Product) +
                   items * sizeof(KVTRELAY_EntityItem);
    char* block = static_cast<char*>(calloc(1, bytes));
    if (!block)
        return nullptr;
    KVTRELAY_Information* info = reinterpret_cast<KVTRELAY_Information*>(block);
    KVTRELAY_Product* products = reinterpret_cast<KVTRELAY_Product*>(block + sizeof(KVTRELAY_Information));
    KVTRELAY_EntityItem* item = reinterpret_cast<KVTRELAY_EntityItem*>(products + selection.products.size());
    info->products = selection.products.empty() ? nullptr : products;
    info->count = selection.products.size();
    for (size_t i = 0; i < selection.products.size(); ++i) {
        const IndexProduct& p = selection.products[i];
        products[i].entity = p.entity;
        products[i].items = p.components.empty() ? nullptr : item;
        products[i].itemCount = p.components.size();
        for (const IndexComponent& c : p.components)
            *item++ = c.entity;
    }
    return info;
}

}  // namespace kvtrelay
