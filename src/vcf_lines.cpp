// VCF lines from text streams, from BCF records formatted by htslib, or from an index query.
#include "vcf_lines.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>

#include <htslib/bgzf.h>

#include "hts_handles.h"
#include "utils/fatal.h"

namespace {

using status = vcf_source::status;

std::string_view lineOf(const kstring_t& ks) { return std::string_view(ks.s ? ks.s : "", ks.l); }

// Only blanks and CRs, as the text reader passes over.
bool isBlank(const kstring_t& ks) {
    return lineOf(ks).find_first_not_of(" \t\r") == std::string_view::npos;
}

// The index htslib would load for the file, loaded by its name so that htslib warns when it is
// stale; none when it is older than the file, which is then read whole, after a warning: an
// index made before lines were added would hide them.
// The file is read again for the phase sets: what the first read said of an index is not said
// again.
template <class Load>
auto freshIndex(const std::string& path, const char* ownExtension, Load&& load)
    -> decltype(load(path.c_str(), path.c_str())) {
    static std::set<std::string> staleIndexesNamed;
    const std::string index = indexedInputs(path, {ownExtension})[1];
    if (index.empty()) return nullptr;
    auto loaded = load(path.c_str(), index.c_str());
    if (!loaded || !isOlderThan(index, path)) return loaded;
    if (staleIndexesNamed.insert(index).second)
        reportProblem("WARNING: index [" + index + "] is older than [" + path +
                      "]: read without it");
    return nullptr;
}

// Header text, line by line; each copied, so that a NUL follows it.
void takeLines(std::string_view text, const vcf_line_handler& take) {
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        take(std::string(text.substr(0, end)));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
}

// Names the index holds records of; htslib hands out an array that the caller frees.
template <class SeqNames>
std::vector<std::string> chromosomesOf(SeqNames&& seqnames) {
    int n = 0;
    const char** names = seqnames(&n);
    std::vector<std::string> out(names, names + (names ? n : 0));
    std::free(names);
    return out;
}

status readText(ifile& in, const vcf_line_handler& take) {
    std::string line;
    while (std::getline(in, line)) take(line);
    return in.failed() ? status::cannot_read : status::read;
}

// One BCF record as a VCF line, without its line end.
bool formatRecord(const bcf_hdr_t* hdr, bcf1_t* rec, kstring_buffer& text) {
    text.ks.l = 0;
    if (vcf_format(hdr, rec, &text.ks) < 0) return false;
    if (text.ks.l > 0 && text.ks.s[text.ks.l - 1] == '\n') text.ks.s[--text.ks.l] = '\0';
    return true;
}

// Reads records with `next` until it ends (-1) or fails (below -1).
template <class Next>
status takeRecords(const bcf_hdr_t* hdr, Next&& next, const vcf_line_handler& take) {
    bcf1_ptr rec(bcf_init());
    kstring_buffer text;
    int r;
    while ((r = next(rec.get())) >= 0) {
        if (!formatRecord(hdr, rec.get(), text)) return status::cannot_read;
        take(lineOf(text.ks));
    }
    return r == -1 ? status::read : status::cannot_read;
}

// The whole contig, never a window: an index query returns the records that overlap a region,
// so a deletion starting before a window would slip in.
hts_itr_t* wholeContig(const hts_idx_t* idx, int tid, hts_readrec_func* readrec) {
    return hts_itr_query(idx, tid, 0, HTS_POS_MAX, readrec);
}

// A BCF header that claims more text than its file could inflate to is damage, refused before
// htslib allocates room for all of it (gigabytes for a few damaged bytes).
bool plausibleHeaderLength(const std::string& path) {
    hts_file_ptr probe(hts_open(path.c_str(), "r"));
    unsigned char start[9];  // "BCF", two version bytes, the header text's length
    struct stat info;
    if (!probe || bgzf_read(hts_get_bgzfp(probe.get()), start, sizeof start) != sizeof start ||
        stat(path.c_str(), &info) != 0)
        return false;
    const uint64_t claimed = uint64_t{start[5]} | uint64_t{start[6]} << 8 |
                             uint64_t{start[7]} << 16 | uint64_t{start[8]} << 24;
    constexpr uint64_t deflate_largest_ratio = 1032;
    const uint64_t ratio =
        hts_get_format(probe.get())->compression == no_compression ? 1 : deflate_largest_ratio;
    return claimed <= static_cast<uint64_t>(info.st_size) * ratio;
}

void readBcf(const std::string& path, const char* chrom, const vcf_line_handler& take,
             hts_tpool* pool, vcf_source& source) {
    hts_file_ptr fp(hts_open(path.c_str(), "r"));
    if (!fp) {
        source.outcome = status::cannot_open;
        return;
    }
    if (!plausibleHeaderLength(path)) {
        source.outcome = status::cannot_read;
        return;
    }
    useThreadPool(fp.get(), pool);
    bcf_hdr_ptr hdr(bcf_hdr_read(fp.get()));
    kstring_buffer text;
    if (!hdr || bcf_hdr_format(hdr.get(), 0, &text.ks) < 0) {
        source.outcome = status::cannot_read;
        return;
    }
    takeLines(lineOf(text.ks), take);
    hts_idx_ptr idx(chrom ? freshIndex(path, ".csi",
                                       [](const char* data, const char* index) {
                                           return hts_idx_ptr(bcf_index_load3(
                                               data, index, HTS_IDX_SILENT_FAIL));
                                       })
                          : nullptr);
    if (!idx) {
        source.outcome = takeRecords(
            hdr.get(), [&](bcf1_t* rec) { return bcf_read(fp.get(), hdr.get(), rec); }, take);
        return;
    }
    source.indexed = true;
    source.indexedChromosomes =
        chromosomesOf([&](int* n) { return bcf_index_seqnames(idx.get(), hdr.get(), n); });
    const int tid = bcf_hdr_name2id(hdr.get(), chrom);
    if (tid < 0) return;
    hts_itr_ptr itr(wholeContig(idx.get(), tid, bcf_readrec));
    if (!itr) {
        source.outcome = status::cannot_read;
        return;
    }
    source.outcome = takeRecords(
        hdr.get(), [&](bcf1_t* rec) { return bcf_itr_next(fp.get(), itr.get(), rec); }, take);
}

// tbx_readrec, passing over the lines that are empty or begin with a blank, a tab or a CR, as
// the text reader passes over them (blank lines) or never takes them (an empty CHROM is never
// the one asked for), where htslib would stop on them as on lines it cannot parse. Header
// lines, taken before, are passed over too: after a blank line in the header, the index's
// first record is that blank line, and the rest of the header follows it.
int readRecordSkippingBlanksAndHeader(BGZF* fp, void* tbx, void* line, int* tid,
                                      hts_pos_t* beg, hts_pos_t* end) {
    for (int c; (c = bgzf_peek(fp)) == '\n' || c == ' ' || c == '\t' || c == '\r' || c == '#';) {
        const int r = bgzf_getline(fp, '\n', static_cast<kstring_t*>(line));
        if (r < 0) return r;
    }
    return tbx_readrec(fp, tbx, line, tid, beg, end);
}

// A bgzipped VCF with a tabix index: its header lines, then the chromosome's lines. False when
// there is no such index, or it is stale, and nothing has been taken.
bool readIndexedText(const std::string& path, const char* chrom, const vcf_line_handler& take,
                     hts_tpool* pool, vcf_source& source) {
    tbx_ptr tbx(freshIndex(path, ".tbi", [](const char* data, const char* index) {
        return tbx_ptr(tbx_index_load3(data, index, HTS_IDX_SILENT_FAIL));
    }));
    if (!tbx) return false;
    hts_file_ptr fp(hts_open(path.c_str(), "r"));
    if (!fp || hts_get_format(fp.get())->compression != bgzf) return false;
    useThreadPool(fp.get(), pool);
    source.indexed = true;
    source.indexedChromosomes =
        chromosomesOf([&](int* n) { return tbx_seqnames(tbx.get(), n); });
    kstring_buffer line;
    int r;
    while ((r = hts_getline(fp.get(), 2 /* KS_SEP_LINE */, &line.ks)) >= 0 &&
           (isBlank(line.ks) || line.ks.s[0] == '#'))
        if (!isBlank(line.ks)) take(lineOf(line.ks));
    const int tid = tbx_name2id(tbx.get(), chrom);
    if (r < -1 || tid < 0) {
        source.outcome = r < -1 ? status::cannot_read : status::read;
        return true;
    }
    hts_itr_ptr itr(wholeContig(tbx->idx, tid, readRecordSkippingBlanksAndHeader));
    while (itr && (r = tbx_itr_next(fp.get(), tbx.get(), itr.get(), &line.ks)) >= 0)
        take(lineOf(line.ks));
    source.outcome = itr && r == -1 ? status::read : status::cannot_read;
    return true;
}

// htslib opens the name again to read BCF: only a file gives it the bytes read before.
bool isRegularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

vcf_source readVcfLines(const std::string& path, const char* chrom, const vcf_line_handler& take,
                        hts_tpool* pool) {
    vcf_source source;
    ifile in;
    const bool isText = in.open(path, false);
    source.content = in.content();
    if (source.content == file_content::bcf && !isRegularFile(path)) {
        source.outcome = status::bcf_from_pipe;
    } else if (source.content == file_content::bcf) {
        readBcf(path, chrom, take, pool, source);
    } else if (!isText) {
        source.outcome = source.content == file_content::plain ? status::cannot_open
                                                               : status::not_text;
    } else if (!(chrom && source.content == file_content::gzip &&
                 readIndexedText(path, chrom, take, pool, source))) {
        source.outcome = readText(in, take);
    }
    return source;
}

vcf_identity vcf_identity::of(const std::string& path) {
    vcf_identity identity;
    identity.found = stat(path.c_str(), &identity.file) == 0;
    return identity;
}

bool vcf_identity::sameFileAs(const vcf_identity& other) const {
    return found && other.found && file.st_dev == other.file.st_dev &&
           file.st_ino == other.file.st_ino && file.st_size == other.file.st_size &&
           file.st_mtim.tv_sec == other.file.st_mtim.tv_sec &&
           file.st_mtim.tv_nsec == other.file.st_mtim.tv_nsec;
}
