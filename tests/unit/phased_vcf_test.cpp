// The phase sets file's second read of the VCF: only the very file the run read first is used.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "data_set.h"
#include "phased_vcf.h"
#include "run_program.h"

namespace {

const std::string sample_line = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS1\tS2";
const std::string swapped_line = "#CHROM\tPOS\tID\tREF\tALT\tQUAL\tFILTER\tINFO\tFORMAT\tS2\tS1";

std::string vcfText(const std::string& sampleLine) {
    return "##fileformat=VCFv4.2\n" + sampleLine + "\n20\t100\t.\tA\tG\t.\t.\t.\tGT\t0/1\t0|1\n";
}

// Reads the VCF as the run does, lets `change` act on it, then writes the phase sets, and exits
// 0 when that went through.
void writeAfter(const std::string& dir, void (*change)(const std::string& vcf)) {
    const std::string vcf = dir + "/calls.vcf";
    std::ofstream(vcf) << vcfText(sample_line);
    vcf_identity first = vcf_identity::of(vcf);
    first.sampleLine = sample_line;
    data_set data(13, 10);
    data.readVcf(vcf.c_str(), 0, 1000000000);
    change(vcf);
    phased_vcf out(dir + "/phased.vcf");
    out.write({vcf, nullptr, "20", 0, 1000000000, first}, data.sites, "bridgeScan", nullptr);
    std::exit(0);
}

// The same size, the same inode, the modification time put back: only the sample line tells.
void swapSamples(const std::string& vcf) {
    struct stat before;
    stat(vcf.c_str(), &before);
    std::ofstream(vcf) << vcfText(swapped_line);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    utimensat(AT_FDCWD, vcf.c_str(), times, 0);
}

void touch(const std::string& vcf) {
    struct stat before;
    stat(vcf.c_str(), &before);
    timespec later = before.st_mtim;
    later.tv_sec += 1;
    const timespec times[2] = {before.st_atim, later};
    utimensat(AT_FDCWD, vcf.c_str(), times, 0);
}

// The same bytes in another file put in its place.
void replace(const std::string& vcf) {
    std::ofstream(vcf + ".new") << vcfText(sample_line);
    std::rename((vcf + ".new").c_str(), vcf.c_str());
}

TEST(PhasedVcf, AVcfThatIsNoLongerTheFileReadFirstStopsTheRun) {
    for (void (*change)(const std::string&) : {swapSamples, touch, replace})
        EXPECT_EXIT(writeAfter(freshScratchDir(), change), testing::ExitedWithCode(1),
                    "VCF file \\[.*calls.vcf\\] changed during the run: no phase sets written");
    EXPECT_EXIT(writeAfter(freshScratchDir(), [](const std::string&) {}),
                testing::ExitedWithCode(0), "");
}

}  // namespace
