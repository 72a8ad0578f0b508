// The read table: open addressing over record numbers, names in an arena, observations pooled.
#include "read_table.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace {

// Eight bytes at a time, each word multiplied in and folded: read names run to 30 to 50
// characters, differ mostly in their last digits, and are hashed for every observation.
uint32_t hashName(std::string_view name) {
    uint64_t h = 0x9e3779b97f4a7c15ull ^ name.size();
    size_t at = 0;
    for (; at + 8 <= name.size(); at += 8) {
        uint64_t word;
        std::memcpy(&word, name.data() + at, 8);
        h = (h ^ word) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, name.data() + at, name.size() - at);
    h = (h ^ tail) * 0xc4ceb9fe1a85ec53ull;
    return static_cast<uint32_t>(h ^ (h >> 29));
}

// A slot holds the name's hash beside the record's number, so that a probe reads the record,
// far away in memory, only when the hashes match.
uint64_t slotOf(uint32_t hash, size_t record) { return uint64_t{hash} << 32 | (record + 1); }
uint32_t hashIn(uint64_t slot) { return static_cast<uint32_t>(slot >> 32); }
size_t recordIn(uint64_t slot) { return static_cast<uint32_t>(slot) - size_t{1}; }

}  // namespace

read_table::read_table() = default;

void read_table::makeSlots(size_t count) {
    slotBlocks = block_memory::allocateZeroed(count * sizeof(uint64_t));
    slots = static_cast<uint64_t*>(slotBlocks.get());
    slotCount = count;
}

void read_table::add(std::string_view name, uint32_t idx, uint8_t base, uint8_t qual,
                     bool supplementary, bool phaseOnly) {
    const observation made{idx, base, qual, supplementary, phaseOnly};
    // A record's observations come one after another: its read is the last one added to, found
    // without hashing the name again (a long read shows dozens of sites).
    if (lastAdded != none && isNamed(lastAdded, name)) return addTo(lastAdded, made);
    // The first read brings the first slots: a table that holds none costs nothing.
    if (slotCount == 0) makeSlots(block_memory::first_block_bytes / sizeof(uint64_t));
    const uint32_t hash = hashName(name);
    const size_t mask = slotCount - 1;
    size_t slot = hash & mask;
    for (; slots[slot] != 0; slot = (slot + 1) & mask)
        if (hashIn(slots[slot]) == hash && isNamed(recordIn(slots[slot]), name))
            return addTo(recordIn(slots[slot]), made);
    records.push_back({storeName(name), static_cast<uint32_t>(name.size()), none, none, 0});
    store(records.size() - 1, made);
    if (hidesSome || phaseOnly) noteShown(lastAdded, true, phaseOnly);
    slots[slot] = slotOf(hash, lastAdded);
    if (records.size() * 2 > slotCount) grow();
}

bool read_table::isNamed(size_t record, std::string_view name) const {
    const sread& r = records[record];
    return r.nameLength == name.size() && std::memcmp(r.name, name.data(), name.size()) == 0;
}

void read_table::addTo(size_t record, const observation& made) {
    store(record, made);
    // Once some observations are hidden, a phase-only one, or one of a read already shown,
    // changes nothing to note: most of them.
    if (hidesSome ? made.phaseOnly || shown[record] : !made.phaseOnly) return;
    noteShown(record, false, made.phaseOnly);
}

// A phase-only observation goes to the pool alone, naming its read; any other joins the read's
// chain.
void read_table::store(size_t record, const observation& made) {
    lastAdded = record;
    if (made.phaseOnly)
        pool.push_back({made, static_cast<uint32_t>(record)});
    else
        chainTo(records[record], made);
}

void read_table::chainTo(sread& r, const observation& made) {
    const auto at = static_cast<uint32_t>(pool.size());
    pool.push_back({made, none});
    if (r.first == none)
        r.first = at;
    else
        pool[r.last].next = at;
    r.last = at;
    ++r.count;
}

read_table::phase_only_index read_table::phaseOnlyByRecord() const {
    phase_only_index index;
    if (!hidesSome) return index;  // every observation is in a chain
    std::vector<uint32_t>& start = index.start;
    start.assign(records.size() + 1, 0);
    pool.forEachItem([&](size_t, const node& n) {
        if (n.value.phaseOnly) ++start[n.next + 1];
    });
    std::partial_sum(start.begin(), start.end(), start.begin());
    index.nodes.resize(start.back());
    // Each record's start serves as its cursor, then is moved back from the next one's.
    pool.forEachItem([&](size_t o, const node& n) {
        if (n.value.phaseOnly) index.nodes[start[n.next]++] = static_cast<uint32_t>(o);
    });
    std::copy_backward(start.begin(), start.end() - 1, start.end());
    start[0] = 0;
    return index;
}

void read_table::releaseAllButObservations() {
    slotBlocks.reset();
    slots = nullptr;
    slotCount = 0;
    arena.clear();
    shownOrder = {};
    shown = {};
}

void read_table::releaseBefore(size_t next, const phase_only_index& phaseOnly) {
    if (next == records.size()) return;
    // The records were made in the order of their first observations, and each one's others
    // came after its first: what lies before the next record's first is the walked records'.
    uint32_t first = records[next].first;
    if (!phaseOnly.start.empty() && phaseOnly.start[next] < phaseOnly.start[next + 1])
        first = std::min(first, phaseOnly.nodes[phaseOnly.start[next]]);
    pool.releaseBefore(first);
    records.releaseBefore(next);
}

void read_table::mergeBySite(const sread& r, block_array<node>::reader& nodes,
                             std::vector<observation>& phaseOnly,
                             std::vector<observation>& out) const {
    // A read's phase-only observations come in site order but for pairs' mates.
    const auto bySite = [](const observation& a, const observation& b) { return a.idx < b.idx; };
    if (!std::is_sorted(phaseOnly.begin(), phaseOnly.end(), bySite))
        std::stable_sort(phaseOnly.begin(), phaseOnly.end(), bySite);
    out.clear();
    uint32_t o = r.first;
    size_t k = 0;
    while (o != none || k < phaseOnly.size()) {
        if (k == phaseOnly.size() || (o != none && nodes[o].value.idx <= phaseOnly[k].idx)) {
            out.push_back(nodes[o].value);
            o = nodes[o].next;
        } else {
            out.push_back(phaseOnly[k++]);
        }
    }
}

void read_table::noteShown(size_t record, bool newRecord, bool phaseOnly) {
    if (!hidesSome) {
        // Every record before this observation was shown, in its own order.
        hidesSome = true;
        const size_t before = records.size() - newRecord;
        shownOrder.resize(before);
        std::iota(shownOrder.begin(), shownOrder.end(), 0u);
        shown.assign(before, true);
    }
    if (newRecord) shown.push_back(false);
    if (phaseOnly || shown[record]) return;
    shown[record] = true;
    shownOrder.push_back(static_cast<uint32_t>(record));
}

void read_table::clear() {
    records.clear();
    pool.clear();
    lastAdded = none;
    std::fill(slots, slots + slotCount, 0);
    arenaBlock = 0;
    arenaUsed = 0;
    hidesSome = false;
    shownOrder.clear();
    shown.clear();
}

const char* read_table::storeName(std::string_view name) {
    // A BAM record may carry an empty name; it needs no bytes, and there may be no block yet.
    if (name.empty()) return "";
    if (arena.empty() || arenaUsed + name.size() > block_memory::blockSize(arenaBlock)) {
        if (!arena.empty()) ++arenaBlock;
        if (arenaBlock == arena.size())
            arena.push_back(block_memory::allocate(block_memory::blockSize(arenaBlock)));
        arenaUsed = 0;
    }
    char* at = static_cast<char*>(arena[arenaBlock].get()) + arenaUsed;
    std::memcpy(at, name.data(), name.size());
    arenaUsed += name.size();
    return at;
}

void read_table::grow() {
    const block_memory::block_ptr old = std::move(slotBlocks);
    const uint64_t* used = slots;
    const size_t usedCount = slotCount;
    // From the small first slots straight to a whole block: no steps between them to fault in.
    makeSlots(std::max(slotCount * 2, block_memory::block_bytes / sizeof(uint64_t)));
    const size_t mask = slotCount - 1;
    for (size_t k = 0; k < usedCount; ++k) {
        if (used[k] == 0) continue;
        size_t slot = hashIn(used[k]) & mask;
        while (slots[slot] != 0) slot = (slot + 1) & mask;
        slots[slot] = used[k];
    }
}

size_t read_table::bytesUsed() const {
    size_t names = 0;
    for (size_t k = 0; k < arena.size(); ++k) names += block_memory::blockSize(k);
    return records.bytesUsed() + pool.bytesUsed() + slotCount * sizeof(uint64_t) + names +
           shownOrder.capacity() * sizeof(uint32_t) + shown.capacity() / 8;
}

void read_table::sortObservationsSince(size_t mark) {
    auto byIndex = [](const observation& a, const observation& b) { return a.idx < b.idx; };
    std::vector<uint32_t> chain;
    std::vector<observation> values;
    block_array<node>::reader nodes(pool);
    for (size_t i = 0; i < records.size(); ++i) {
        const sread& r = records[i];
        if (r.count < 2) continue;  // most reads: nothing to order
        chain.clear();
        for (uint32_t o = r.first; o != none; o = nodes[o].next)
            if (o >= mark) chain.push_back(o);  // the later observations form the chain's tail
        if (chain.size() < 2) continue;
        values.clear();
        for (uint32_t o : chain) values.push_back(nodes[o].value);
        if (std::is_sorted(values.begin(), values.end(), byIndex)) continue;
        std::stable_sort(values.begin(), values.end(), byIndex);
        for (size_t k = 0; k < chain.size(); ++k) pool[chain[k]].value = values[k];
    }
}
