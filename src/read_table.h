// The reads of one sample, keyed by read name, with what each showed at the sample's
// heterozygous sites. Built for millions of reads: names live in a shared arena, observations
// in one pool chained per read, and the hash index is an open-addressing array of integers,
// so a held read costs its name bytes plus a few dozen bytes, with no allocation of its own.
// All of it lies in 2 MiB blocks, kept from one sample to the next unless the phasing gives them
// back.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "block_memory.h"

// One observation: the site index, the base letter and its quality byte, whether a
// supplementary alignment made it, and whether its base is below --base-quality, kept for the
// phasing alone (both in the padding of the other three: they cost no memory).
struct observation {
    uint32_t idx;
    uint8_t base;
    uint8_t qual;
    bool supplementary = false;
    bool phaseOnly = false;
};

// A phase-informative read: at least two observations, at strictly increasing sites.
inline bool isPhaseInformative(const std::vector<observation>& obs) {
    if (obs.size() < 2) return false;
    for (size_t k = 1; k < obs.size(); ++k)
        if (obs[k].idx <= obs[k - 1].idx) return false;
    return true;
}

class read_table {
public:
    // The observations of one read name (a read, or both mates of a pair), in the order made.
    struct sread {
        const char* name;
        uint32_t nameLength;
        uint32_t first;  // first observation in the pool (none while it holds phase-only ones alone)
        uint32_t last;   // last observation, where the next one is chained
        uint32_t count;  // observations in its chain
    };

    read_table();
    // An observation made `phaseOnly` is seen by takeForPhasing alone: forEach, size() and
    // the order of the reads are what they would be without it.
    void add(std::string_view name, uint32_t idx, uint8_t base, uint8_t qual,
             bool supplementary = false, bool phaseOnly = false);
    // Forgets every read; keeps the capacity for the next sample.
    void clear();
    // The reads with an observation that is not phase-only.
    size_t size() const { return hidesSome ? shownOrder.size() : records.size(); }
    // Observations held, all reads together; a mark for sortObservationsSince.
    size_t observations() const { return pool.size(); }
    // Puts each read's observations (but the phase-only ones) made since the mark in increasing
    // site index, keeping the order of those made at the same site.
    void sortObservationsSince(size_t mark);
    size_t bytesUsed() const;

    // Calls visit(name, observations) for each read, in the order the names were first added,
    // without the phase-only observations (and the reads that hold nothing else).
    template <class Visit> void forEach(Visit&& visit) const {
        std::vector<observation> obs;
        block_array<node>::reader nodes(pool);
        if (!hidesSome) {
            for (size_t i = 0; i < records.size(); ++i) visitRecord(i, nodes, obs, visit);
            return;
        }
        for (uint32_t i : shownOrder) visitRecord(i, nodes, obs, visit);
    }
    // Calls visit(observations) with all its observations, the phase-only ones merged in by site
    // index, for each read that has two or more (the others link no sites, and they are most
    // reads); then the table is empty, as new. The names and the index go back first, and the
    // reads' blocks as the walk passes them, so that what the visits build takes the room that
    // the table gives back rather than more.
    template <class Visit> void takeForPhasing(Visit&& visit) {
        releaseAllButObservations();
        const phase_only_index phaseOnly = phaseOnlyByRecord();
        std::vector<observation> phaseOnlyObs, obs;
        block_array<node>::reader nodes(pool);
        for (size_t i = 0; i < records.size(); ++i) {
            phaseOnlyObs.clear();
            if (!phaseOnly.start.empty())
                for (uint32_t k = phaseOnly.start[i]; k < phaseOnly.start[i + 1]; ++k)
                    phaseOnlyObs.push_back(nodes[phaseOnly.nodes[k]].value);
            const sread& r = records[i];
            if (r.count + phaseOnlyObs.size() >= 2) {
                mergeBySite(r, nodes, phaseOnlyObs, obs);
                visit(static_cast<const std::vector<observation>&>(obs));
            }
            releaseBefore(i + 1, phaseOnly);
        }
        *this = read_table();
    }

private:
    static constexpr uint32_t none = UINT32_MAX;
    // An observation in the pool. `next`: the next one in its read's chain; for a phase-only
    // one, which is in no chain (the PIR file walks the chains), its read's record.
    struct node {
        observation value;
        uint32_t next;
    };

    template <class Visit>
    void visitRecord(size_t i, block_array<node>::reader& nodes, std::vector<observation>& obs,
                     Visit& visit) const {
        const sread& r = records[i];
        obs.clear();
        for (uint32_t o = r.first; o != none; o = nodes[o].next) obs.push_back(nodes[o].value);
        visit(std::string_view(r.name, r.nameLength), static_cast<const std::vector<observation>&>(obs));
    }
    // The record's chain and its phase-only observations (put in site order) merged by site.
    void mergeBySite(const sread& r, block_array<node>::reader& nodes,
                     std::vector<observation>& phaseOnly, std::vector<observation>& out) const;
    // The phase-only observations' places in the pool by record, in the order made: record
    // i's are nodes[start[i]] to nodes[start[i + 1]]; nothing when there are none.
    struct phase_only_index {
        std::vector<uint32_t> start, nodes;
    };
    phase_only_index phaseOnlyByRecord() const;
    // The names, the hash index and the order shown: what a walk of the observations needs not.
    void releaseAllButObservations();
    // Gives back the blocks of the records before `next` and of the observations they alone hold.
    void releaseBefore(size_t next, const phase_only_index& phaseOnly);
    // Keeps shownOrder for the record's observation just added, once one is phase-only.
    void noteShown(size_t record, bool newRecord, bool phaseOnly);
    bool isNamed(size_t record, std::string_view name) const;
    void addTo(size_t record, const observation& made);
    void store(size_t record, const observation& made);
    void chainTo(sread& r, const observation& made);

    const char* storeName(std::string_view name);
    void makeSlots(size_t count);
    void grow();

    block_array<sread> records;
    block_array<node> pool;
    size_t lastAdded = none;  // the record the last observation went to
    // The name's hash, then record index + 1; 0 is an empty slot. A power of two of them.
    block_memory::block_ptr slotBlocks;
    uint64_t* slots = nullptr;
    size_t slotCount = 0;
    std::vector<block_memory::block_ptr> arena;  // names, one block after another
    size_t arenaBlock = 0;                       // the block being filled
    size_t arenaUsed = 0;                        // and how much of it
    // Once a phase-only observation is held: the records with another observation, in the
    // order of the first such one (the order they would have had without phase-only ones),
    // and by record whether it is among them. Untouched by a run that adds none.
    bool hidesSome = false;
    std::vector<uint32_t> shownOrder;
    std::vector<bool> shown;
};
