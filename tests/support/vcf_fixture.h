// VCF inputs in the forms users have, made at test time through htslib: bgzipped, BCF, indexed.
#pragma once

#include <string>

// Failures throw std::runtime_error, which fails the calling test with the message.
class vcf_fixture {
public:
    // A BGZF copy of any file.
    static void bgzip(const std::string& source, const std::string& dest);
    // The VCF text at `source` as compressed BCF.
    static void writeBcf(const std::string& source, const std::string& dest);
    // A .csi index for a BCF file, a .tbi index for a bgzipped VCF.
    static void index(const std::string& path);
};
