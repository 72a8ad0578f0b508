// The site collection: insertion order gives each site its index, the multimap finds duplicates.
#include "pos_index.h"

#include "utils/streams.h"

site* pos_index::getI(int index) const {
    if (index < 0 || index >= size()) return nullptr;
    return list[static_cast<size_t>(index)];
}

site* pos_index::getP(int position, const std::string& ref, const std::string& alt) const {
    auto [first, last] = byPos.equal_range(position);
    for (auto it = first; it != last; ++it)
        if (it->second->ref == ref && it->second->alt == alt) return it->second;
    return nullptr;
}

void pos_index::push(site* s) {
    byPos.emplace(s->pos, s);  // goes after the entries with an equal key
    list.push_back(s);
}

void pos_index::writeMAP(ofile& file) const {
    std::ostream& out = file;
    out << "MAP " << static_cast<unsigned>(list.size()) << '\n' << std::flush;
    for (const site* s : list) out << s->pos << '\t' << s->ref << '\t' << s->alt << '\n' << std::flush;
}
