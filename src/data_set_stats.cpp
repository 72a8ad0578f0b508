// The statistics file: one line per scanned sample, saying what its scan read, dropped and
// kept, so that a cohort's weak samples can be found without reading its PIRs.
#include "data_set.h"

#include <vector>

#include "utils/streams.h"

void data_set::writeStatsHeader(ofile& file) {
    std::ostream& out = file;
    out << "sample\thet_snps\trecords\tdropped_flag\tdropped_mapq\tdropped_baseq\treads\tpirs"
           "\tsnps_in_pirs\tphased_snps\tblocks\tblock_n50\n";
}

void data_set::countReads() {
    scan_counts& c = pileup.counts;
    std::vector<bool> inPir(static_cast<size_t>(sites.size()), false);
    pileup.reads.forEach([&](std::string_view, const std::vector<observation>& obs) {
        if (!isPhaseInformative(obs)) return;
        ++c.pirs;
        for (const observation& o : obs) {
            c.snpsInPirs += !inPir[o.idx];
            inPir[o.idx] = true;
        }
    });
    c.reads = pileup.reads.size();
}

void data_set::writeStats(ofile& file, int sample, const block_summary& blocks) {
    const scan_counts& c = pileup.counts;
    std::ostream& out = file;
    out << sampleNames[static_cast<size_t>(sample)] << '\t' << c.hetSnps << '\t' << c.records
        << '\t' << c.droppedFlag << '\t' << c.droppedMapq << '\t' << c.droppedBaseq << '\t'
        << c.reads << '\t' << c.pirs << '\t' << c.snpsInPirs << '\t'
        << blocks.phasedSnps << '\t' << blocks.blocks << '\t' << blocks.n50 << '\n';
}
