// One sample's phased calls, held from its scan until the phase sets are written. A run holds
// those of all its samples (a cohort job scans dozens, each with hundreds of thousands of
// calls on a chromosome), so each call takes a byte or two rather than a phased_call's twelve:
// the step from the previous call's site with its phase and whether its block changed, then,
// when it did, the step to the new block's PS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "phase_sets.h"

class packed_calls {
public:
    packed_calls() = default;
    // In any order; site order (phaseReads') is the one that packs small.
    explicit packed_calls(const std::vector<phased_call>& calls);

    // The calls again, one by one, in the order given.
    class reader {
    public:
        explicit reader(const packed_calls& calls) : bytes(&calls.bytes) {}
        bool next(phased_call& call);

    private:
        uint64_t number();

        const std::vector<uint8_t>* bytes;
        size_t at = 0;
        phased_call last{0, 0, false};
    };

    size_t bytesUsed() const { return bytes.capacity(); }

private:
    void put(uint64_t number);

    std::vector<uint8_t> bytes;
};
