// Reports, per sample, how many reads the scan holds and what the read table costs per read.
// Usage: bridgeScan_held_reads VCF BAM_LIST
#include <iostream>

#include "data_set.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "Usage: bridgeScan_held_reads VCF BAM_LIST" << std::endl;
        return 2;
    }
    data_set data(13, 10);
    std::streambuf* progress = std::cout.rdbuf(nullptr);  // keep the scan's progress quiet
    data.readVcf(argv[1], 0, 1000000000);
    data.readBam(argv[2]);
    for (size_t s = 0; s < data.sampleNames.size(); ++s) {
        if (data.bamFiles[s].empty()) continue;
        data.pileup.reads.clear();
        data.bridgeScan(static_cast<int>(s));
        const read_table& reads = data.pileup.reads;
        std::cout.rdbuf(progress);
        std::cout << data.sampleNames[s] << ": " << reads.size() << " reads held, "
                  << reads.observations() << " observations, " << reads.bytesUsed()
                  << " bytes in the read table, "
                  << (reads.size() ? reads.bytesUsed() / reads.size() : 0) << " bytes per read"
                  << std::endl;
        std::cout.rdbuf(nullptr);
    }
    std::cout.rdbuf(progress);
    return 0;
}
