// Read-backed phasing: each read votes on the relative phase of every two sites it covers, the
// votes of a pair of sites make one link, the strongest links make a spanning tree of each block,
// and single sites are then flipped where the other links disagree with the tree.
#include "phase_sets.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <numeric>

namespace {

constexpr double lod_unit = 1e6;  // votes are summed in millionths of a LOD
// A read is paired site by site with this many of its next sites: enough for every read a
// short-read pair gives, and no square cost on a long read.
constexpr size_t max_partners = 8;
// Each pass flips only sites that strictly raise the agreement, so passes end; a cap all the same.
constexpr int max_flip_passes = 50;

// Qualities above this count as this: no base is surer than one error in a million.
constexpr uint8_t max_quality = 60;

// Error probability of a Phred quality; at most 1/2, where the base says nothing.
double errorOf(uint8_t qual) { return std::min(0.5, std::pow(10.0, -qual / 10.0)); }

// log10 of how much likelier two bases are to show the sites' true relative phase than the
// other (both are right, or both are wrong), by their two qualities: worked out once.
int64_t voteOf(uint8_t q1, uint8_t q2) {
    using row = std::array<int64_t, max_quality + 1>;
    static const std::array<row, max_quality + 1> table = [] {
        std::array<row, max_quality + 1> votes{};
        for (uint8_t a = 0; a <= max_quality; ++a)
            for (uint8_t b = 0; b <= max_quality; ++b) {
                const double e1 = errorOf(a), e2 = errorOf(b);
                const double agree = (1 - e1) * (1 - e2) + e1 * e2;
                votes[a][b] = std::llround(std::log10(agree / (1 - agree)) * lod_unit);
            }
        return votes;
    }();
    return table[q1][q2];
}

struct allele_seen {
    uint32_t site;
    bool alt;
    uint8_t qual;  // at most max_quality
};

// Union-find that keeps, for each site, whether it sits on the other haplotype from its parent.
class parity_forest {
public:
    explicit parity_forest(size_t n) : parent(n), flip(n, false) {
        std::iota(parent.begin(), parent.end(), 0u);
    }

    // The root, and the site's haplotype relative to it.
    uint32_t find(uint32_t v, bool& parity) {
        parity = false;
        uint32_t root = v;
        while (parent[root] != root) {
            parity ^= flip[root];
            root = parent[root];
        }
        compress(v, root, parity);
        return root;
    }

    // Joins the blocks of a and b so that their haplotypes differ by `trans`; false when they
    // already share one.
    bool join(uint32_t a, uint32_t b, bool trans) {
        bool pa, pb;
        const uint32_t ra = find(a, pa), rb = find(b, pb);
        if (ra == rb) return false;
        // The lower root stays a root, so the forest does not depend on which end came first.
        const uint32_t low = std::min(ra, rb), high = std::max(ra, rb);
        parent[high] = low;
        flip[high] = pa ^ pb ^ trans;
        return true;
    }

private:
    void compress(uint32_t v, uint32_t root, bool parity) {
        while (parent[v] != root && v != root) {
            const uint32_t next = parent[v];
            const bool nextParity = parity ^ flip[v];
            parent[v] = root;
            flip[v] = parity;
            v = next;
            parity = nextParity;
        }
    }

    std::vector<uint32_t> parent;
    std::vector<bool> flip;
};

// A pair of sites and their summed votes, in millionths of a LOD: positive for cis.
struct link {
    uint32_t a, b;  // a < b
    int64_t lod;
};

// The links of the votes, the sites numbered densely in site order (`siteOf` gives each number's
// site), strongest first and ties in site order, so that nothing depends on the hash table.
std::vector<link> denseLinks(const std::unordered_map<uint64_t, int64_t>& votes,
                             std::vector<uint32_t>& siteOf) {
    siteOf.clear();
    for (const auto& [key, lod] : votes)
        if (lod != 0) siteOf.insert(siteOf.end(), {uint32_t(key >> 32), uint32_t(key)});
    std::sort(siteOf.begin(), siteOf.end());
    siteOf.erase(std::unique(siteOf.begin(), siteOf.end()), siteOf.end());
    const auto number = [&](uint32_t site) {
        return uint32_t(std::lower_bound(siteOf.begin(), siteOf.end(), site) - siteOf.begin());
    };
    std::vector<link> links;
    for (const auto& [key, lod] : votes)
        if (lod != 0) links.push_back({number(uint32_t(key >> 32)), number(uint32_t(key)), lod});
    std::sort(links.begin(), links.end(), [](const link& x, const link& y) {
        const int64_t wx = std::llabs(x.lod), wy = std::llabs(y.lod);
        if (wx != wy) return wx > wy;
        return x.a != y.a ? x.a < y.a : x.b < y.b;
    });
    return links;
}

// Each site's block (named by its root site) and whether its ALT is on the first haplotype.
struct placement {
    std::vector<uint32_t> block;
    std::vector<bool> onAlt;
};

// The maximum spanning tree of the links at least `minLod` strong places every site.
placement placeByTree(const std::vector<link>& links, size_t sites, int64_t minLod) {
    parity_forest forest(sites);
    for (const link& l : links)
        if (std::llabs(l.lod) >= minLod) forest.join(l.a, l.b, l.lod < 0);
    placement placed{std::vector<uint32_t>(sites), std::vector<bool>(sites)};
    for (uint32_t v = 0; v < sites; ++v) {
        bool parity;
        placed.block[v] = forest.find(v, parity);
        placed.onAlt[v] = parity;
    }
    return placed;
}

// Flips each site whose links inside its block, weighted, disagree with its place more than
// they agree, until none does: on a cycle, the tree may have kept the wrong side of a conflict.
void flipAgainstLinks(placement& placed, const std::vector<link>& links) {
    std::vector<std::vector<std::pair<uint32_t, int64_t>>> around(placed.block.size());
    for (const link& l : links) {
        if (placed.block[l.a] != placed.block[l.b]) continue;
        around[l.a].push_back({l.b, l.lod});
        around[l.b].push_back({l.a, l.lod});
    }
    for (int pass = 0; pass < max_flip_passes; ++pass) {
        bool flipped = false;
        for (uint32_t v = 0; v < around.size(); ++v) {
            int64_t agreement = 0;
            for (const auto& [w, lod] : around[v]) {
                const bool cis = placed.onAlt[v] == placed.onAlt[w];
                agreement += cis == (lod > 0) ? std::llabs(lod) : -std::llabs(lod);
            }
            if (agreement >= 0) continue;
            placed.onAlt[v] = !placed.onAlt[v];
            flipped = true;
        }
        if (!flipped) break;
    }
}

// The calls of the blocks of two sites or more. A block's first site (the lowest position)
// names it and is written 0|1.
std::vector<phased_call> callsOf(const placement& placed, const std::vector<uint32_t>& siteOf,
                                 const std::vector<phase_site>& sites) {
    const size_t n = siteOf.size();
    std::vector<uint32_t> first(n, UINT32_MAX), size(n, 0);  // by block
    for (uint32_t v = 0; v < n; ++v) {
        uint32_t& f = first[placed.block[v]];
        if (f == UINT32_MAX || sites[siteOf[v]].pos < sites[siteOf[f]].pos) f = v;
        ++size[placed.block[v]];
    }
    std::vector<phased_call> calls;
    for (uint32_t v = 0; v < n; ++v) {
        const uint32_t b = placed.block[v], f = first[b];
        if (size[b] >= 2)
            calls.push_back({siteOf[v], sites[siteOf[f]].pos, placed.onAlt[v] != placed.onAlt[f]});
    }
    return calls;
}

}  // namespace

phaser::phaser(const std::vector<phase_site>& phaseSites, double minimumLod)
    : sites(phaseSites), minLod(std::llround(minimumLod * lod_unit)) {}

void phaser::addFragment(const std::vector<observation>& obs) {
    std::vector<allele_seen> seen;
    for (const observation& o : obs) {
        if (o.idx >= sites.size() || !sites[o.idx].phasable) continue;
        const phase_site& s = sites[o.idx];
        const char base = static_cast<char>(std::toupper(o.base));
        if (base == s.ref || base == s.alt)
            seen.push_back({o.idx, base == s.alt, std::min(o.qual, max_quality)});
    }
    for (size_t i = 0; i < seen.size(); ++i)
        for (size_t j = i + 1; j < seen.size() && j <= i + max_partners; ++j) {
            if (seen[i].site == seen[j].site) continue;
            const allele_seen& a = seen[i].site < seen[j].site ? seen[i] : seen[j];
            const allele_seen& b = seen[i].site < seen[j].site ? seen[j] : seen[i];
            const int64_t vote = voteOf(a.qual, b.qual);
            votes[uint64_t{a.site} << 32 | b.site] += a.alt == b.alt ? vote : -vote;
        }
}

std::vector<phased_call> phaser::phase() {
    std::vector<uint32_t> siteOf;
    const std::vector<link> links = denseLinks(votes, siteOf);
    votes.clear();
    placement placed = placeByTree(links, siteOf.size(), minLod);
    flipAgainstLinks(placed, links);
    return callsOf(placed, siteOf, sites);
}

std::vector<phase_site> phaseSitesOf(const pos_index& sites) {
    std::vector<phase_site> out(static_cast<size_t>(sites.size()));
    std::unordered_map<int32_t, int> snpsAt;
    for (int k = 0; k < sites.size(); ++k) snpsAt[sites[k].pos] += sites[k].snp;
    for (int k = 0; k < sites.size(); ++k) {
        const site& s = sites[k];
        if (!s.snp) continue;
        out[s.idx] = {s.pos, static_cast<char>(std::toupper(s.ref[0])),
                      static_cast<char>(std::toupper(s.alt[0])), snpsAt[s.pos] == 1};
    }
    return out;
}

std::vector<phased_call> phaseReads(const read_table& reads, const std::vector<phase_site>& sites,
                                    double minLod) {
    phaser sample(sites, minLod);
    reads.forEach([&](std::string_view, const std::vector<observation>& obs) {
        if (isPhaseInformative(obs)) sample.addFragment(obs);
    });
    return sample.phase();
}

block_summary summarize(const std::vector<phased_call>& calls,
                        const std::vector<phase_site>& sites) {
    block_summary summary;
    summary.phasedSnps = calls.size();
    std::unordered_map<int32_t, int32_t> lastPos;  // by PS
    for (const phased_call& c : calls) {
        auto [at, added] = lastPos.emplace(c.ps, c.ps);
        at->second = std::max(at->second, sites[c.site].pos);
    }
    summary.blocks = lastPos.size();
    std::vector<int64_t> spans;
    int64_t total = 0;
    for (const auto& [first, last] : lastPos) {
        spans.push_back(int64_t{last} - first + 1);
        total += spans.back();
    }
    std::sort(spans.rbegin(), spans.rend());
    int64_t covered = 0;
    for (int64_t span : spans) {
        covered += span;
        if (2 * covered >= total) {
            summary.n50 = span;
            break;
        }
    }
    return summary;
}
