// The thin layer over htslib: owning handles for its objects, the pile-up buffer, and where
// htslib looks for an index.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>
#include <htslib/sam.h>
#include <htslib/tbx.h>
#include <htslib/thread_pool.h>
#include <htslib/vcf.h>

template <auto Destroy> struct hts_deleter {
    template <class T> void operator()(T* p) const noexcept { Destroy(p); }
};
using sam_file_ptr = std::unique_ptr<samFile, hts_deleter<hts_close>>;  // sam_close is a macro
using sam_hdr_ptr = std::unique_ptr<sam_hdr_t, hts_deleter<sam_hdr_destroy>>;
using hts_idx_ptr = std::unique_ptr<hts_idx_t, hts_deleter<hts_idx_destroy>>;
using hts_itr_ptr = std::unique_ptr<hts_itr_t, hts_deleter<hts_itr_destroy>>;
using bam1_ptr = std::unique_ptr<bam1_t, hts_deleter<bam_destroy1>>;
using hts_file_ptr = sam_file_ptr;  // one handle type for SAM, BAM, CRAM, VCF and BCF
using bcf_hdr_ptr = std::unique_ptr<bcf_hdr_t, hts_deleter<bcf_hdr_destroy>>;
using bcf1_ptr = std::unique_ptr<bcf1_t, hts_deleter<bcf_destroy>>;
using tbx_ptr = std::unique_ptr<tbx_t, hts_deleter<tbx_destroy>>;
using hts_tpool_ptr = std::unique_ptr<hts_tpool, hts_deleter<hts_tpool_destroy>>;
// bgzf_close returns int: close written files explicitly and check.
using bgzf_ptr = std::unique_ptr<BGZF, hts_deleter<bgzf_close>>;

// A pool of threads - 1 workers, none below 2 threads. The workers start with the stopping
// signals held, and hold them for good: a signal then reaches the main thread, never a worker
// while the main thread creates a temporary output.
hts_tpool_ptr startThreadPool(int threads);

// Lets htslib decompress the file on the pool's threads; nothing when there is no pool.
void useThreadPool(htsFile* file, hts_tpool* pool);

// A kstring_t that frees its text.
struct kstring_buffer {
    kstring_t ks = KS_INITIALIZE;
    kstring_buffer() = default;
    kstring_buffer(const kstring_buffer&) = delete;
    kstring_buffer& operator=(const kstring_buffer&) = delete;
    ~kstring_buffer() { ks_free(&ks); }
};

// The files htslib reads for a data file named `path`: the file, and the index that htslib's
// index loading finds for it in each format whose own index extension is given (.bai for BAM,
// .crai for CRAM, .tbi for VCF; .csi is tried first in all), as which format it is htslib
// knows only once the file is open. An index name given after "##idx##" is the index itself.
// An index not found comes back as an empty name.
std::vector<std::string> indexedInputs(const std::string& path,
                                       std::initializer_list<const char*> ownExtensions);

// True when `index` was last changed before `data`, to the second, as htslib's own check
// compares them; false when either cannot be looked at.
bool isOlderThan(const std::string& index, const std::string& data);

// Records with any of these flags (unmapped, secondary, QC-failed, duplicate) never reach a
// pile-up.
constexpr uint16_t pileup_flag_mask = BAM_FUNMAP | BAM_FSECONDARY | BAM_FQCFAIL | BAM_FDUP;
// The pile-up drops a record that starts where the previous one did while it holds more.
constexpr int pileup_depth_cap = 8000;

// Called once per reference column, in increasing position order, with the entries of every
// record covering it. `pos` is 0-based.
using pileup_callback = int (*)(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t* pl,
                                void* data);

// A pile-up buffer over htslib's bam_plp_*: records pushed in position order come back as
// columns through the callback. Records matching pileup_flag_mask are dropped on push.
class pileup_buffer {
public:
    pileup_buffer(pileup_callback func, void* data);
    pileup_buffer(const pileup_buffer&) = delete;
    pileup_buffer& operator=(const pileup_buffer&) = delete;

    bool valid() const { return iter != nullptr; }
    // Empties the buffer and forgets the order check, for records that may start earlier.
    // After htslib refused a record it stays broken even through bam_plp_reset, so a broken
    // buffer is made anew here instead.
    void reset();
    // Pushes one record and emits every column that no later record can change.
    // Negative when htslib refused the record (out of order, out of memory).
    int push(const bam1_t* b);
    // Emits every column still held.
    void flush();

private:
    struct plp_deleter {
        void operator()(bam_plp_t p) const noexcept { bam_plp_destroy(p); }
    };
    void emitColumns();
    void create();

    pileup_callback func;
    void* data;
    std::unique_ptr<bam_plp_s, plp_deleter> iter;
    bool broken = false; // htslib reported an error: it accepts nothing more until made anew
};
