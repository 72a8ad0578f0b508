// Stateless accessors that decode one alignment record: name, sequence, and the base and
// quality aligned to a reference position.
#pragma once

#include <cstdint>
#include <string>

#include <htslib/sam.h>

// Walks a record's CIGAR once for 0-based reference positions asked in increasing order, as
// the base and quality accessors walk it: M, = and X align bases; I and S consume read bases;
// D and N consume reference. Inline: the scan asks it for every record at every site covered.
class cigar_cursor {
public:
    explicit cigar_cursor(const bam1_t* b)
        : cigar(bam_get_cigar(b)), ops(b->core.n_cigar), stored(b->core.l_qseq),
          ref(b->core.pos) {}

    // The read offset aligned to pos; -1 when none is (pos before the record, inside a deletion
    // or skipped region, or beyond the last operation), and where the CIGAR claims more read
    // bases than the record stores. Whole operations at a time.
    int64_t offsetAt(int64_t pos) {
        for (; k < ops; ++k) {
            const int type = bam_cigar_type(bam_cigar_op(cigar[k]));
            const int64_t len = bam_cigar_oplen(cigar[k]);
            // An operation that holds pos (or lies after it) is kept for the next position.
            if ((type & reference) && pos < ref + len) {
                const int64_t offset = off + (pos - ref);
                return type == (reference | query) && pos >= ref && offset < stored ? offset : -1;
            }
            if (type & reference) ref += len;
            if (type & query) off += len;
        }
        return -1;
    }

    // One past the last reference base that the operations from the current one on cover.
    int64_t referenceEnd() const {
        int64_t end = ref;
        for (uint32_t j = k; j < ops; ++j)
            if (bam_cigar_type(bam_cigar_op(cigar[j])) & reference)
                end += bam_cigar_oplen(cigar[j]);
        return end;
    }

private:
    static constexpr int query = 1, reference = 2;  // the bits of bam_cigar_type
    const uint32_t* cigar;
    uint32_t ops;
    int64_t stored;   // bases the record stores
    uint32_t k = 0;   // the current operation
    int64_t ref;      // where it starts on the reference
    int64_t off = 0;  // and in the read
};

class bamutils {
public:
    // The letter of a 4-bit base code: A, C, G, T or N; 0 for '=' and the ambiguity codes.
    static char baseLetter(int code);
    // 10^(-q/10).
    static double phred2double(int q);
    // Letter of the base at read offset i; an undecodable code ends the run.
    static char extractNucleotide(const bam1_t* b, int i);
    static std::string extractRead(const bam1_t* b);
    static std::string extractName(const bam1_t* b);
    static std::string extractFlag(const bam1_t* b);
    // Base letter aligned to 0-based reference position pos; negative when none is.
    static signed char extractBase(const bam1_t* b, int pos);
    // Base quality aligned to pos, as a signed byte; -1 when no base is.
    static signed char extractQuality(const bam1_t* b, int pos);
    // The CIGAR one letter per base, with pos highlighted for a terminal.
    static std::string extractCigar(const bam1_t* b, int pos);
};
