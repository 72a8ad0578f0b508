// Decodes one alignment record: name, sequence, flags, CIGAR, and the base and quality aligned
// to a reference position.
#include "bamutils.h"

#include <cmath>
#include <cstdint>

#include "utils/fatal.h"

namespace {

// Where a CIGAR walk to a reference position ended.
struct walk_result {
    bool found;     // an aligned base sits at the position
    int64_t offset; // its read offset, when found
    int64_t ref;    // otherwise one past the last reference base that M, =, X, D and N covered
};

bool isAligned(uint32_t op) {
    return op == BAM_CMATCH || op == BAM_CEQUAL || op == BAM_CDIFF;
}

// Whole operations at a time: the pile-up asks this for every read of every column kept.
walk_result walkTo(const bam1_t* b, int64_t pos) {
    const uint32_t* cigar = bam_get_cigar(b);
    int64_t ref = b->core.pos;
    int64_t off = 0;
    for (uint32_t k = 0; k < b->core.n_cigar; ++k) {
        const uint32_t op = bam_cigar_op(cigar[k]);
        const int64_t len = bam_cigar_oplen(cigar[k]);
        if (isAligned(op)) {
            if (pos >= ref && pos < ref + len) return {true, off + (pos - ref), ref};
            ref += len;
            off += len;
        } else if (op == BAM_CINS || op == BAM_CSOFT_CLIP) {
            off += len;
        } else if (op == BAM_CDEL || op == BAM_CREF_SKIP) {
            ref += len;
        }
    }
    return {false, 0, ref};
}

// A CIGAR may claim more read bases than the record stores; those are treated as absent.
bool isStored(const bam1_t* b, const walk_result& w) {
    return w.found && w.offset < b->core.l_qseq;
}

void appendHighlighted(std::string& out, char letter) {
    out += "\x1b[33m";
    out += letter;
    out += "\x1b[0m";
}

char cigarLetter(uint32_t op) {
    switch (op) {
    case BAM_CMATCH: return 'M';
    case BAM_CINS: return 'I';
    case BAM_CDEL: return 'D';
    case BAM_CREF_SKIP: return 'R';
    case BAM_CSOFT_CLIP: return 'S';
    case BAM_CHARD_CLIP: return 'H';
    case BAM_CPAD: return 'P';
    default: return 'N';
    }
}

char decodedOrFatal(int code) {
    const char letter = bamutils::nucleotideLetter(code);
    if (letter == 0) fatal(bamutils::unknownCodeMessage(code));
    return letter;
}

} // namespace

double bamutils::phred2double(int q) { return std::pow(10.0, q * -0.1); }

char bamutils::extractNucleotide(const bam1_t* b, int i) {
    return decodedOrFatal(bam_seqi(bam_get_seq(b), i));
}

char bamutils::nucleotideLetter(int code) {
    // Only A, C, G, T and N are accepted; '=' and the ambiguity codes are not.
    static const char letters[16] = {0, 'A', 'C', 0, 'G', 0, 0, 0, 'T', 0, 0, 0, 0, 0, 0, 'N'};
    return letters[code & 15];
}

std::string bamutils::unknownCodeMessage(int code) {
    return "extractNucleotide " + std::to_string(code) + " unknown";
}

std::string bamutils::extractRead(const bam1_t* b) {
    std::string read;
    if (b->core.l_qseq > 0) read.reserve(b->core.l_qseq);
    for (int i = 0; i < b->core.l_qseq; ++i) read += extractNucleotide(b, i);
    return read;
}

std::string bamutils::extractName(const bam1_t* b) {
    // A freshly initialised record has no data at all.
    if (b->core.l_qname == 0) return std::string();
    return std::string(bam_get_qname(b));
}

std::string bamutils::extractFlag(const bam1_t* b) {
    static const struct {
        const char* label;
        uint16_t bits;
    } items[] = {
        {"(PAI=", BAM_FPAIRED},    {"PRO=", BAM_FPROPER_PAIR}, {"UNM=", BAM_FUNMAP},
        {"MUN=", BAM_FMUNMAP},     {"REV=", BAM_FREVERSE},     {"MRE=", BAM_FMREVERSE},
        {"RE1=", BAM_FREAD1},      {"RE2=", BAM_FREAD2},       {"SEC=", BAM_FSECONDARY},
        {"QCF=", BAM_FQCFAIL},     {"DUP=", BAM_FDUP},
        {"MAS=", BAM_FUNMAP | BAM_FSECONDARY | BAM_FQCFAIL | BAM_FDUP},
    };
    const size_t count = sizeof(items) / sizeof(items[0]);
    std::string text;
    for (size_t k = 0; k < count; ++k) {
        text += items[k].label;
        text += (b->core.flag & items[k].bits) ? '1' : '0';
        text += (k + 1 < count) ? ' ' : ')';
    }
    return text;
}

signed char bamutils::extractBase(const bam1_t* b, int pos) {
    const int code = extractBaseCode(b, pos);
    return static_cast<signed char>(code < 0 ? code : decodedOrFatal(code));
}

int bamutils::extractBaseCode(const bam1_t* b, int pos) {
    if (b->core.pos > pos) return -3;
    const walk_result w = walkTo(b, pos);
    if (isStored(b, w)) return bam_seqi(bam_get_seq(b), w.offset);
    if (w.found) return -1;
    return pos <= w.ref ? -1 : -2;
}

signed char bamutils::extractQuality(const bam1_t* b, int pos) {
    const walk_result w = walkTo(b, pos);
    if (!isStored(b, w)) return -1;
    // Stored qualities above 127 come out negative, 255 (none stored) as -1.
    return static_cast<signed char>(bam_get_qual(b)[w.offset]);
}

std::string bamutils::extractCigar(const bam1_t* b, int pos) {
    const uint32_t* cigar = bam_get_cigar(b);
    std::string text;
    int64_t ref = b->core.pos;
    for (uint32_t k = 0; k < b->core.n_cigar; ++k) {
        const uint32_t op = bam_cigar_op(cigar[k]);
        const uint32_t len = bam_cigar_oplen(cigar[k]);
        const char letter = cigarLetter(op);
        // Only M and D move the reference here, unlike the walk above.
        const bool movesRef = op == BAM_CMATCH || op == BAM_CDEL;
        for (uint32_t u = 0; u < len; ++u) {
            if (movesRef && ref == pos) {
                appendHighlighted(text, letter);
            } else {
                text += letter;
            }
            if (movesRef) ++ref;
        }
    }
    return text;
}
