// The read table: open addressing over record numbers, names in an arena, observations pooled.
#include "read_table.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t arena_chunk = size_t{1} << 20;

// FNV-1a: cheap, and good enough for read names, which differ mostly in their last digits.
uint32_t hashName(std::string_view name) {
    uint32_t h = 2166136261u;
    for (unsigned char c : name) h = (h ^ c) * 16777619u;
    return h;
}

}  // namespace

read_table::read_table() : slots(1024, 0) {}

void read_table::add(std::string_view name, uint32_t idx, uint8_t base, uint8_t qual) {
    const uint32_t hash = hashName(name);
    const size_t mask = slots.size() - 1;
    size_t slot = hash & mask;
    for (; slots[slot] != 0; slot = (slot + 1) & mask) {
        sread& r = records[slots[slot] - 1];
        if (r.hash == hash && r.nameLength == name.size() &&
            std::memcmp(r.name, name.data(), name.size()) == 0) {
            pool[r.last].next = static_cast<uint32_t>(pool.size());
            r.last = static_cast<uint32_t>(pool.size());
            ++r.count;
            pool.push_back({{idx, base, qual}, none});
            return;
        }
    }
    const uint32_t at = static_cast<uint32_t>(pool.size());
    pool.push_back({{idx, base, qual}, none});
    records.push_back({storeName(name), static_cast<uint32_t>(name.size()), hash, at, at, 1});
    slots[slot] = static_cast<uint32_t>(records.size());
    if (records.size() * 2 > slots.size()) grow();
}

void read_table::clear() {
    records.clear();
    pool.clear();
    std::fill(slots.begin(), slots.end(), 0);
    // Keep the first chunk of names; a new sample's reads are as many as the last one's.
    if (arena.size() > 1) arena.resize(1);
    arenaUsed = 0;
    arenaSize = arena.empty() ? 0 : arena_chunk;
}

const char* read_table::storeName(std::string_view name) {
    // A BAM record may carry an empty name; it needs no bytes, and there may be no chunk yet.
    if (name.empty()) return "";
    if (arenaUsed + name.size() > arenaSize) {
        size_t size = std::max(arena_chunk, name.size());
        if (!arena.empty() && arenaUsed == 0) arena.pop_back();  // an unused chunk after clear()
        arena.emplace_back(new char[size]);
        arenaSize = size;
        arenaUsed = 0;
    }
    char* at = arena.back().get() + arenaUsed;
    std::memcpy(at, name.data(), name.size());
    arenaUsed += name.size();
    return at;
}

void read_table::grow() {
    std::vector<uint32_t> bigger(slots.size() * 2, 0);
    const size_t mask = bigger.size() - 1;
    for (uint32_t n = 1; n <= records.size(); ++n) {
        size_t slot = records[n - 1].hash & mask;
        while (bigger[slot] != 0) slot = (slot + 1) & mask;
        bigger[slot] = n;
    }
    slots.swap(bigger);
}

size_t read_table::bytesUsed() const {
    return records.capacity() * sizeof(sread) + pool.capacity() * sizeof(node) +
           slots.capacity() * sizeof(uint32_t) + arena.size() * arena_chunk;
}

void read_table::sortObservationsSince(size_t mark) {
    auto byIndex = [](const observation& a, const observation& b) { return a.idx < b.idx; };
    std::vector<uint32_t> chain;
    std::vector<observation> values;
    for (const sread& r : records) {
        chain.clear();
        for (uint32_t o = r.first; o != none; o = pool[o].next)
            if (o >= mark) chain.push_back(o);  // the later observations form the chain's tail
        if (chain.size() < 2) continue;
        values.clear();
        for (uint32_t o : chain) values.push_back(pool[o].value);
        if (std::is_sorted(values.begin(), values.end(), byIndex)) continue;
        std::stable_sort(values.begin(), values.end(),
                         byIndex);
        for (size_t k = 0; k < chain.size(); ++k) pool[chain[k]].value = values[k];
    }
}
