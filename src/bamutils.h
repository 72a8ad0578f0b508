// Stateless accessors that decode one alignment record: name, sequence, and the base and
// quality aligned to a reference position.
#pragma once

#include <string>

#include <htslib/sam.h>

class bamutils {
public:
    // 10^(-q/10).
    static double phred2double(int q);
    // Letter of the base at read offset i; an undecodable code ends the run.
    static char extractNucleotide(const bam1_t* b, int i);
    // Letter of a 4-bit BAM base code; 0 for a code that is not A, C, G, T or N.
    static char nucleotideLetter(int code);
    // The line that reports an undecodable base code.
    static std::string unknownCodeMessage(int code);
    static std::string extractRead(const bam1_t* b);
    static std::string extractName(const bam1_t* b);
    static std::string extractFlag(const bam1_t* b);
    // Base letter aligned to 0-based reference position pos; negative when none is.
    static signed char extractBase(const bam1_t* b, int pos);
    // The 4-bit code of that base, with the same negative results: a caller that can say
    // where an undecodable base lies decodes it with nucleotideLetter.
    static int extractBaseCode(const bam1_t* b, int pos);
    // Base quality aligned to pos, as a signed byte; -1 when no base is.
    static signed char extractQuality(const bam1_t* b, int pos);
    // The CIGAR one letter per base, with pos highlighted for a terminal.
    static std::string extractCigar(const bam1_t* b, int pos);
};
