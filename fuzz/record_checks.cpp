// Record and pile-up checks for the alignment-record fuzz targets.
#include "record_checks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <set>
#include <string>

#include "bamutils.h"
#include "data_set.h"
#include "fuzz_support.h"

namespace {

constexpr int max_columns = 64;  // columns checked per input, so one input stays fast

// Printed before a failed check, so that a crash report shows the record at once.
void describe(const bam1_t* b, int64_t pos, const char* what) {
    std::string cigar;
    const uint32_t* ops = bam_get_cigar(b);
    for (uint32_t k = 0; k < b->core.n_cigar; ++k)
        cigar += std::to_string(bam_cigar_oplen(ops[k])) + bam_cigar_opchr(ops[k]);
    std::fprintf(stderr, "%s: record pos0=%lld flag=%u l_qseq=%d cigar=%s, at pos0=%lld\n", what,
                 static_cast<long long>(b->core.pos), b->core.flag, b->core.l_qseq,
                 cigar.c_str(), static_cast<long long>(pos));
}

#define RECORD_CHECK(condition, b, pos)                                                            \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            describe(b, pos, "failed");                                                            \
            propertyFailed(#condition, __FILE__, __LINE__);                                        \
        }                                                                                          \
    } while (0)

bool isLetter(signed char base) { return base > 0 && std::strchr("ACGTN", base) != nullptr; }

// Accessors may stop the program on a base code they cannot decode; that is their contract.
template <class Call> bool stopsOrRuns(Call&& call) {
    try {
        call();
        return true;
    } catch (const fatal_stop&) {
        return false;
    }
}

// The data set whose pileup_state the callback works on: three sites, so that a site index
// taken from the input is always valid.
data_set& world() {
    static data_set* data = [] {
        auto* d = new data_set(0, 0);
        static std::deque<site> sites;
        for (int32_t k = 0; k < 3; ++k) {
            site& s = sites.emplace_back();
            s.pos = 100 * (k + 1);
            s.ref = "A";
            s.alt = "C";
            s.idx = static_cast<uint32_t>(k);
            s.snp = true;
            d->sites.push(&s);
        }
        return d;
    }();
    return *data;
}

data_set::pileup_state& freshState(const pileup_settings& settings) {
    data_set::pileup_state& state = world().pileup;
    if (settings.freshTable) state.reads = read_table();
    else state.reads.clear();
    state.minBaseQuality = settings.minBaseQuality;
    state.minReadQuality = settings.minReadQuality;
    state.siteIndex = settings.siteIndex;
    return state;
}

// Every observation names the one site scanned and holds a letter whose quality passed.
void checkReadTable(const data_set::pileup_state& state) {
    const uint32_t idx = world().sites[state.siteIndex].idx;
    state.reads.forEach([&](std::string_view, const std::vector<observation>& obs) {
        FUZZ_CHECK(!obs.empty());
        for (const observation& o : obs) {
            FUZZ_CHECK(o.idx == idx);
            FUZZ_CHECK(isLetter(static_cast<signed char>(o.base)));
            FUZZ_CHECK(static_cast<signed char>(o.qual) >= state.minBaseQuality);
        }
    });
}

int64_t referenceLength(const bam1_t* b) {
    return bam_cigar2rlen(static_cast<int>(b->core.n_cigar), bam_get_cigar(b));
}

// The CIGAR text has one letter per unit; only records of modest length are expanded.
void checkCigarText(const bam1_t* b, int pos) {
    uint64_t units = 0;
    const uint32_t* cigar = bam_get_cigar(b);
    for (uint32_t k = 0; k < b->core.n_cigar; ++k) units += bam_cigar_oplen(cigar[k]);
    if (units > 4096) return;
    const std::string text = bamutils::extractCigar(b, pos);
    const std::string highlight = "\x1b[33m";
    const size_t first = text.find(highlight);
    const size_t marks = first == std::string::npos ? 0 : 1;
    FUZZ_CHECK(marks == 0 || text.find(highlight, first + 1) == std::string::npos);
    FUZZ_CHECK(text.size() == units + marks * (highlight.size() + 4));
}

void checkAt(const bam1_t* b, int64_t pos64) {
    if (pos64 < INT32_MIN || pos64 > INT32_MAX) return;
    const int pos = static_cast<int>(pos64);
    signed char base = 0;
    if (!stopsOrRuns([&] { base = bamutils::extractBase(b, pos); })) return;
    const signed char quality = bamutils::extractQuality(b, pos);
    RECORD_CHECK(isLetter(base) || base == -1 || base == -2 || base == -3, b, pos);
    if (base < 0) RECORD_CHECK(quality == -1, b, pos);
    checkCigarText(b, pos);
}

// htslib's pile-up shows a base at the column of a zero-length M (0M3N4M has one at its
// start), where the alignment has none; the accessors rightly find none there.
bool hasEmptyOperation(const bam1_t* b) {
    const uint32_t* cigar = bam_get_cigar(b);
    for (uint32_t k = 0; k < b->core.n_cigar; ++k)
        if (bam_cigar_oplen(cigar[k]) == 0) return true;
    return false;
}

// What htslib's pile-up entry says the record shows must be what the accessors find.
void checkEntry(const bam_pileup1_t& e, int pos) {
    const bam1_t* b = e.b;
    signed char base = 0;
    if (!stopsOrRuns([&] { base = bamutils::extractBase(b, pos); })) return;
    const signed char quality = bamutils::extractQuality(b, pos);
    if (hasEmptyOperation(b)) return;
    if (e.is_del || e.is_refskip || e.qpos >= b->core.l_qseq) {
        RECORD_CHECK(base < 0, b, pos);
        RECORD_CHECK(quality == -1, b, pos);
        return;
    }
    static const char letters[16] = {0, 'A', 'C', 0, 'G', 0, 0, 0, 'T', 0, 0, 0, 0, 0, 0, 'N'};
    RECORD_CHECK(base == letters[bam_seqi(bam_get_seq(b), e.qpos)], b, pos);
    RECORD_CHECK(quality == static_cast<signed char>(bam_get_qual(b)[e.qpos]), b, pos);
}

struct column_check {
    data_set::pileup_state* state;
    int columns = 0;
};

int checkedColumn(uint32_t tid, uint32_t pos, int n, const bam_pileup1_t* pl, void* data) {
    auto& check = *static_cast<column_check*>(data);
    if (++check.columns > max_columns || pos >= INT32_MAX) return 0;
    for (int i = 0; i < n; ++i) checkEntry(pl[i], static_cast<int>(pos));
    // The site sits at this column, so pileup_function acts on it.
    check.state->sitePos = static_cast<int32_t>(pos) + 1;
    return pileup_function(tid, pos, n, pl, check.state);
}

}  // namespace

bam1_ptr exactCopy(const bam1_t* b) {
    bam1_ptr copy(bam_init1());
    if (!copy) std::abort();
    copy->core = b->core;
    copy->l_data = b->l_data;
    copy->m_data = static_cast<uint32_t>(b->l_data);
    copy->data = static_cast<uint8_t*>(std::malloc(b->l_data > 0 ? b->l_data : 1));
    if (!copy->data) std::abort();
    if (b->l_data > 0) std::memcpy(copy->data, b->data, b->l_data);
    return copy;
}

void checkAccessors(const bam1_t* b) {
    bamutils::extractName(b);
    bamutils::extractFlag(b);
    std::string read;
    if (stopsOrRuns([&] { read = bamutils::extractRead(b); }))
        FUZZ_CHECK(read.size() == static_cast<size_t>(b->core.l_qseq > 0 ? b->core.l_qseq : 0));

    const int64_t start = b->core.pos;
    std::set<int64_t> positions = {start - 1, start, start + 1};
    int64_t ref = start;
    const uint32_t* cigar = bam_get_cigar(b);
    for (uint32_t k = 0; k < b->core.n_cigar && positions.size() < 48; ++k) {
        if (bam_cigar_type(bam_cigar_op(cigar[k])) & 2) ref += bam_cigar_oplen(cigar[k]);
        positions.insert({ref - 1, ref, ref + 1});
    }
    for (int64_t pos : positions) checkAt(b, pos);
    checkAt(b, start + referenceLength(b));
}

void pileUpThroughHtslib(const std::vector<bam1_ptr>& records, const pileup_settings& settings) {
    column_check check{&freshState(settings)};
    try {
        pileup_buffer buffer(checkedColumn, &check);
        if (!buffer.valid()) std::abort();
        for (const bam1_ptr& b : records)
            if (buffer.push(b.get()) < 0) buffer.reset();
        buffer.flush();
    } catch (const fatal_stop&) {
        return;  // a base the accessors cannot decode ends a real run here too
    }
    checkReadTable(*check.state);
}

void pileUpDirectly(const std::vector<bam1_ptr>& records, const pileup_settings& settings) {
    std::vector<bam_pileup1_t> column(records.size());
    for (size_t i = 0; i < records.size(); ++i) column[i].b = records[i].get();
    std::set<int64_t> positions;
    for (const bam1_ptr& b : records)
        for (int64_t d : {-1, 0, 1, 2, 5}) positions.insert(b->core.pos + d);

    data_set::pileup_state& state = freshState(settings);
    for (int64_t pos : positions) {
        if (pos < 0 || pos >= INT32_MAX) continue;
        state.sitePos = static_cast<int32_t>(pos + 1);
        const int n = static_cast<int>(column.size());
        if (!stopsOrRuns([&] { pileup_function(0, static_cast<uint32_t>(pos), n, column.data(), &state); }))
            return;
    }
    checkReadTable(state);
}
