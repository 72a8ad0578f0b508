// Decodes one alignment record: name, sequence, flags, CIGAR, and the base and quality aligned
// to a reference position.
#include "bamutils.h"

#include <cmath>
#include <cstdint>

#include "utils/fatal.h"

namespace {

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

} // namespace

double bamutils::phred2double(int q) { return std::pow(10.0, q * -0.1); }

char bamutils::baseLetter(int code) {
    // Only A, C, G, T and N are accepted; '=' and the ambiguity codes are not.
    static const char letters[16] = {0, 'A', 'C', 0, 'G', 0, 0, 0, 'T', 0, 0, 0, 0, 0, 0, 'N'};
    return letters[code & 15];
}

char bamutils::extractNucleotide(const bam1_t* b, int i) {
    const int code = bam_seqi(bam_get_seq(b), i);
    const char letter = baseLetter(code);
    if (letter == 0) fatal("extractNucleotide " + std::to_string(code) + " unknown");
    return letter;
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
    if (b->core.pos > pos) return -3;
    cigar_cursor walk(b);
    const int64_t offset = walk.offsetAt(pos);
    if (offset >= 0)
        return static_cast<signed char>(extractNucleotide(b, static_cast<int>(offset)));
    return pos <= walk.referenceEnd() ? -1 : -2;
}

signed char bamutils::extractQuality(const bam1_t* b, int pos) {
    const int64_t offset = cigar_cursor(b).offsetAt(pos);
    if (offset < 0) return -1;
    // Stored qualities above 127 come out negative, 255 (none stored) as -1.
    return static_cast<signed char>(bam_get_qual(b)[offset]);
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
