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

void data_set::writeStats(ofile& file, int sample, const block_summary& blocks) {
    uint64_t pirs = 0, snpsInPirs = 0;
    std::vector<bool> inPir(static_cast<size_t>(sites.size()), false);
    pileup.reads.forEach([&](std::string_view, const std::vector<observation>& obs) {
        if (!isPhaseInformative(obs)) return;
        ++pirs;
        for (const observation& o : obs) {
            snpsInPirs += !inPir[o.idx];
            inPir[o.idx] = true;
        }
    });
    const scan_counts& c = pileup.counts;
    std::ostream& out = file;
    out << sampleNames[static_cast<size_t>(sample)] << '\t' << c.hetSnps << '\t' << c.records
        << '\t' << c.droppedFlag << '\t' << c.droppedMapq << '\t' << c.droppedBaseq << '\t'
        << pileup.reads.size() << '\t' << pirs << '\t' << snpsInPirs << '\t'
        << blocks.phasedSnps << '\t' << blocks.blocks << '\t' << blocks.n50 << '\n';
}
