// Converts and indexes VCF fixtures through htslib, as bgzip, bcftools and tabix would.
#include "vcf_fixture.h"

#include <stdexcept>

#include <htslib/bgzf.h>
#include <htslib/tbx.h>
#include <htslib/vcf.h>

#include "hts_handles.h"
#include "run_program.h"

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw std::runtime_error("vcf_fixture: " + what + " [" + path + "]");
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

void vcf_fixture::bgzip(const std::string& source, const std::string& dest) {
    const std::string text = readFile(source);
    BGZF* out = bgzf_open(dest.c_str(), "w");
    if (!out) fail("cannot create", dest);
    const bool written = bgzf_write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (bgzf_close(out) < 0 || !written) fail("cannot write", dest);
}

void vcf_fixture::writeBcf(const std::string& source, const std::string& dest) {
    hts_file_ptr in(hts_open(source.c_str(), "r"));
    bcf_hdr_ptr hdr(in ? bcf_hdr_read(in.get()) : nullptr);
    if (!hdr) fail("cannot read the VCF header of", source);
    hts_file_ptr out(hts_open(dest.c_str(), "wb"));
    if (!out || bcf_hdr_write(out.get(), hdr.get()) < 0) fail("cannot write the header of", dest);
    bcf1_ptr rec(bcf_init());
    int r;
    while ((r = bcf_read(in.get(), hdr.get(), rec.get())) >= 0)
        if (bcf_write(out.get(), hdr.get(), rec.get()) < 0) fail("cannot write a record to", dest);
    if (r < -1) fail("cannot read a record of", source);
    if (hts_close(out.release()) < 0) fail("cannot close", dest);
}

void vcf_fixture::index(const std::string& path) {
    const int built = endsWith(path, ".bcf") ? bcf_index_build(path.c_str(), 14)
                                             : tbx_index_build(path.c_str(), 0, &tbx_conf_vcf);
    if (built < 0) fail("cannot index", path);
}
