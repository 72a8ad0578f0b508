#include "packed_calls.h"

// Steps are taken modulo 2^32, so that a site or PS below the previous one comes back exactly.
packed_calls::packed_calls(const std::vector<phased_call>& calls) {
    phased_call last{0, 0, false};
    for (const phased_call& call : calls) {
        const bool newBlock = call.ps != last.ps;
        const uint32_t step = call.site - last.site;
        put(uint64_t{step} << 2 | uint64_t{newBlock} << 1 | uint64_t{call.altFirst});
        if (newBlock) put(static_cast<uint32_t>(call.ps) - static_cast<uint32_t>(last.ps));
        last = call;
    }
    bytes.shrink_to_fit();
}

// Seven bits a byte, the lowest first; the high bit says another byte follows.
void packed_calls::put(uint64_t number) {
    for (; number >= 0x80; number >>= 7) bytes.push_back(static_cast<uint8_t>(number | 0x80));
    bytes.push_back(static_cast<uint8_t>(number));
}

uint64_t packed_calls::reader::number() {
    uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
        const uint8_t byte = (*bytes)[at++];
        value |= uint64_t{byte & 0x7Fu} << shift;
        if (byte < 0x80) return value;
    }
}

bool packed_calls::reader::next(phased_call& call) {
    if (at == bytes->size()) return false;
    const uint64_t head = number();
    last.site += static_cast<uint32_t>(head >> 2);
    last.altFirst = head & 1;
    if (head & 2)
        last.ps = static_cast<int32_t>(static_cast<uint32_t>(last.ps) +
                                       static_cast<uint32_t>(number()));
    call = last;
    return true;
}
