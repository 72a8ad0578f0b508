// Read-backed phasing by likelihood. Each fragment (a read, or both mates of a pair) is one draw
// from one of the two haplotypes, each of its bases right or wrong by its quality, so it counts
// once however many sites it shows. Within each set of sites that fragments connect, every
// placement is tried when the set is small; otherwise a first placement is made site after site
// by the fragments' votes (or, where a site has none yet, by a spanning tree of the strongest
// pairwise links), and single sites, then whole sides of a cut, are flipped while that raises
// the fragments' likelihood. Only the sites and the joins that the fragments make
// sure of are kept.
#include "phase_sets.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <numeric>
#include <unordered_map>
#include <utility>

namespace {

// Qualities above this count as this: no base is surer than one error in a million.
constexpr uint8_t max_quality = 60;
// A call is the quality with this bit set when the base is the ALT allele.
constexpr uint8_t alt_bit = 0x80;
// Gains below this are rounding, not evidence: no flip is made for them.
constexpr double least_gain = 1e-9;
// Cut gains are summed as integers in millionths of a LOD, so that each cut's sum is exact
// however the fragments' parts add and cancel.
constexpr double lod_unit = 1e6;
// Blocks of up to exact_sites sites are placed by trying every placement, and so are larger ones
// whose walk through every placement flips at most exact_flips calls (a dozen sites on a few
// reads): on so few reads a search can stop short of the likeliest placement, and the walk
// costs about what the search does.
constexpr size_t exact_sites = 8;
constexpr uint64_t exact_flips = 4096;
// A fragment's call is paired with this many of its next calls for the first placement (the
// flips that follow make the rest: four gave the same blocks on the benchmark, at more cost).
constexpr uint32_t max_partners = 2;
// ... and only the calls of the first this many fragments of a site that go on after it are:
// at high depth a dozen reads already make its links clear, and the rest cost the most of the
// first placement.
constexpr uint32_t max_tree_fragments = 12;
// Rounds of cut flips per block, each followed by single-site flips; each raises the
// likelihood, so rounds end, but a cap all the same.
constexpr int max_rounds = 100;

bool isAlt(uint8_t call) { return call & alt_bit; }

// A LOD in millionths, rounded half away from zero as llround does, without its call into libm
// (cut gains take millions of them; theirs never leave the range of an int64_t).
int64_t roundedLod(double lod) {
    const double units = lod * lod_unit;
    const auto truncated = static_cast<int64_t>(units);
    const double rest = units - static_cast<double>(truncated);
    return truncated + (rest >= 0.5) - (rest <= -0.5);
}

// log10 of a base's chance to be right and to be wrong, by its quality; a base that could as
// well be wrong as right (quality 3 and below) says nothing.
struct base_odds {
    double right, wrong;
    double weight;  // right - wrong: what a flip of its site shifts between the haplotypes
};

const base_odds& oddsOf(uint8_t call) {
    static const std::array<base_odds, max_quality + 1> table = [] {
        std::array<base_odds, max_quality + 1> odds{};
        for (int q = 0; q <= max_quality; ++q) {
            const double error = std::min(0.5, std::pow(10.0, -q / 10.0));
            const double right = std::log10(1 - error), wrong = std::log10(error);
            odds[static_cast<size_t>(q)] = {right, wrong, right - wrong};
        }
        return odds;
    }();
    return table[call & ~alt_bit];
}

constexpr double ln10 = 2.302585092994045684;

// log10(1 + 10^-d) for 0 <= d < 16, by cubic Hermite interpolation in a table of its values
// and slopes (error below 1e-10): the phasing sums millions of these, and log1p and exp for
// each cost more than the rest of the phasing together.
double logOnePlusTenToMinus(double d) {
    constexpr int steps_per_unit = 64, steps = 16 * steps_per_unit;
    struct knot {
        double value, slope;
    };
    static const std::array<knot, steps + 2> table = [] {
        std::array<knot, steps + 2> knots{};
        for (int i = 0; i < steps + 2; ++i) {
            const double x = std::pow(10.0, -static_cast<double>(i) / steps_per_unit);
            knots[static_cast<size_t>(i)] = {std::log1p(x) / ln10, -x / (1 + x)};
        }
        return knots;
    }();
    constexpr double h = 1.0 / steps_per_unit;
    const double at = d * steps_per_unit;
    const auto i = static_cast<size_t>(at);
    const double t = at - static_cast<double>(i), t2 = t * t, t3 = t2 * t;
    const knot &k0 = table[i], &k1 = table[i + 1];
    return (2 * t3 - 3 * t2 + 1) * k0.value + (t3 - 2 * t2 + t) * h * k0.slope +
           (3 * t2 - 2 * t3) * k1.value + (t3 - t2) * h * k1.slope;
}

// log10(10^a + 10^b): a fragment's likelihood from those of its two haplotypes (the factor 1/2
// for either is the same for every placement, and left out).
double logSum(double a, double b) {
    const double high = std::max(a, b), difference = high - std::min(a, b);
    // Beyond 16, 1 + 10^-difference rounds to 1 in a double: the sum is the larger term.
    return difference >= 16 ? high : high + logOnePlusTenToMinus(difference);
}

// log10 of how much likelier two bases are to show their sites' true relative phase than the
// other (both right, or both wrong), by their qualities: worked out once.
double voteOf(uint8_t first, uint8_t second) {
    using row = std::array<double, max_quality + 1>;
    static const std::array<row, max_quality + 1> table = [] {
        std::array<row, max_quality + 1> votes{};
        for (uint8_t x = 0; x <= max_quality; ++x)
            for (uint8_t y = 0; y <= max_quality; ++y) {
                const double e1 = std::pow(10.0, oddsOf(x).wrong);
                const double e2 = std::pow(10.0, oddsOf(y).wrong);
                const double agree = (1 - e1) * (1 - e2) + e1 * e2;
                votes[x][y] = std::log10(agree / (1 - agree));
            }
        return votes;
    }();
    return table[first & ~alt_bit][second & ~alt_bit];
}

// Union-find that keeps, for each site, whether it sits on the other haplotype from its parent.
class parity_forest {
public:
    explicit parity_forest(size_t n) : parent(n), flip(n, false) {
        std::iota(parent.begin(), parent.end(), 0u);
    }

    // Whether the site is on the other haplotype from its set's root.
    bool parityOf(uint32_t v) {
        bool parity;
        find(v, parity);
        return parity;
    }

    // Joins the sets of a and b so that their haplotypes differ by `trans`; nothing when they
    // already share one.
    void join(uint32_t a, uint32_t b, bool trans) {
        bool pa, pb;
        const uint32_t ra = find(a, pa), rb = find(b, pb);
        if (ra == rb) return;
        // The lower root stays a root, so the forest does not depend on which end came first.
        const uint32_t low = std::min(ra, rb), high = std::max(ra, rb);
        parent[high] = low;
        flip[high] = pa ^ pb ^ trans;
    }

private:
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

// Union-find whose roots are the lowest member, so that nothing depends on the order of joins.
class lowest_root_sets {
public:
    explicit lowest_root_sets(size_t n) : parent(n) {
        std::iota(parent.begin(), parent.end(), 0u);
    }
    uint32_t find(uint32_t v) {
        while (parent[v] != v) v = parent[v] = parent[parent[v]];
        return v;
    }
    void join(uint32_t a, uint32_t b) {
        a = find(a);
        b = find(b);
        if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
    // Joins the members [first, last) into one set: one find for each.
    void joinAll(const uint32_t* first, const uint32_t* last) {
        uint32_t root = find(*first);
        while (++first < last) {
            const uint32_t other = find(*first);
            if (other == root) continue;
            parent[std::max(root, other)] = std::min(root, other);
            root = std::min(root, other);
        }
    }

private:
    std::vector<uint32_t> parent;
};

// The fragments of one sample, one after another: each one's calls are a stretch of `site`
// (ascending) and `call`.
struct fragment_list {
    std::vector<uint32_t> start;  // the first call of each fragment, and an end mark
    std::vector<uint32_t> site;
    std::vector<uint8_t> call;

    size_t size() const { return start.size() - 1; }
    uint32_t begin(uint32_t f) const { return start[f]; }
    uint32_t end(uint32_t f) const { return start[f + 1]; }
};

// Placement of the sites of one connected set, numbered 0..n-1 in position order, and the
// likelihood of each of its fragments under the placement (a), under its mirror (b), and both
// together (their logSum, kept so that a flip computes one logSum per fragment, not two).
class block_model {
public:
    block_model(const fragment_list& all, std::vector<uint32_t> fragmentIds, uint32_t siteCount)
        : list(all), fragments(std::move(fragmentIds)), hap(siteCount, 0), left(siteCount, 0),
          a(fragments.size()), b(fragments.size()), sum(fragments.size()), siteGains(siteCount) {
        indexCover();
    }

    // The likeliest placement: among all of them for a small block (or a thinly read one), else
    // the first one along the sites or the tree's, then flips while they gain.
    void place() {
        if (cheapToPlaceExactly()) return placeExactly();
        if (!placeAlong()) placeByTree();
        for (int round = 0; round < max_rounds; ++round) {
            const bool sitesSettled = flipSitesWhileGaining();
            cuts = cutGains();
            const auto best = std::max_element(cuts.begin(), cuts.end());
            if (best == cuts.end() || *best <= 0) {
                settled = sitesSettled;
                return;
            }
            flipAfter(static_cast<uint32_t>(best - cuts.begin()));
        }
    }

    // Leaves out the sites whose placement is less sure than `minLod`, again and again as
    // leaving some out weakens others; then the blocks: the kept sites that fragments connect
    // without crossing a cut less sure than `minLod`. By site, its block's first site, or
    // UINT32_MAX when the site is left out.
    std::vector<uint32_t> blocks(double minLod) {
        // The search's last pass weighed every site and cut of the placement as it stands.
        if (!settled) weighSitesAndCuts();
        for (;;) {
            bool leftSome = false;
            for (uint32_t s = 0; s < hap.size(); ++s)
                if (!left[s] && -siteGains[s] < minLod) {
                    left[s] = 1;
                    leftSome = true;
                }
            if (!leftSome) break;
            weighSitesAndCuts();
        }
        return joinedSites(cuts, minLod);
    }

    // ALT on the first haplotype.
    bool altFirst(uint32_t s) const { return hap[s]; }

private:
    uint32_t fragmentOf(size_t k) const { return fragments[k]; }

    // By site, the fragments that show it (their number in `fragments`) and their calls there,
    // with where each call is in the list; by fragment, its largest shift.
    void indexCover() {
        coverStart.assign(hap.size() + 1, 0);
        for (uint32_t f : fragments)
            for (uint32_t c = list.begin(f); c < list.end(f); ++c) ++coverStart[list.site[c] + 1];
        std::partial_sum(coverStart.begin(), coverStart.end(), coverStart.begin());
        cover.resize(coverStart.back());
        std::vector<uint32_t> at(coverStart.begin(), coverStart.end() - 1);
        largestShift.assign(fragments.size(), 0);
        for (uint32_t k = 0; k < fragments.size(); ++k)
            for (uint32_t c = list.begin(fragments[k]); c < list.end(fragments[k]); ++c) {
                cover[at[list.site[c]]++] = {k, c, list.call[c]};
                largestShift[k] = std::max(largestShift[k], oddsOf(list.call[c]).weight);
            }
    }

    // What a call adds to a and to b, with its site placed as it is.
    std::pair<double, double> scoreOf(uint8_t call, uint32_t s) const {
        const base_odds& odds = oddsOf(call);
        return isAlt(call) == static_cast<bool>(hap[s]) ? std::pair{odds.right, odds.wrong}
                                                        : std::pair{odds.wrong, odds.right};
    }

    // The first placement: a maximum spanning tree of the pairwise evidence, strongest links
    // first. Each fragment's calls are paired with the next few of it only, so a long read
    // costs no square; their weights overcount it, which the flips that follow correct.
    void placeByTree() {
        // The votes summed by pair of sites, each site's partners gathered from its entries in
        // the cover (in the fragments' order) into a vote by partner, and written out in the
        // order first met.
        std::vector<std::pair<uint64_t, double>> links;
        std::vector<double> voteWith(hap.size(), 0.0);
        std::vector<uint32_t> metAt(hap.size(), UINT32_MAX), partners;
        for (uint32_t site = 0; site < hap.size(); ++site) {
            partners.clear();
            uint32_t used = 0;
            for (uint32_t k = coverStart[site]; k < coverStart[site + 1] && used < max_tree_fragments;
                 ++k) {
                const covering& from = cover[k];
                const uint32_t end = list.end(fragmentOf(from.fragment));
                used += from.index + 1 < end;  // a fragment that ends here links nothing on
                for (uint32_t j = from.index + 1; j < end && j <= from.index + max_partners; ++j) {
                    const uint32_t partner = list.site[j];
                    if (std::exchange(metAt[partner], site) != site) partners.push_back(partner);
                    const double value = voteOf(from.call, list.call[j]);
                    voteWith[partner] += isAlt(from.call) == isAlt(list.call[j]) ? value : -value;
                }
            }
            for (uint32_t partner : partners)
                links.emplace_back(uint64_t{site} << 32 | partner,
                                   std::exchange(voteWith[partner], 0.0));
        }
        std::sort(links.begin(), links.end(), [](const auto& x, const auto& y) {
            const double wx = std::fabs(x.second), wy = std::fabs(y.second);
            return wx != wy ? wx > wy : x.first < y.first;
        });
        parity_forest forest(hap.size());
        for (const auto& [pair, vote] : links)
            forest.join(static_cast<uint32_t>(pair >> 32), static_cast<uint32_t>(pair), vote < 0);
        for (uint32_t s = 0; s < hap.size(); ++s) hap[s] = forest.parityOf(s);
        refresh();
    }

    // The first placement of a set that reads run through: site after site, each placed as the
    // fragments that show it, oriented by their calls already placed, vote by weight. False,
    // leaving the placement to the tree, when a site has no such fragment (a set joined only
    // around it, as by a pair's mates): in position order it would be placed by chance.
    bool placeAlong() {
        std::fill(a.begin(), a.end(), 0.0);
        std::fill(b.begin(), b.end(), 0.0);
        for (uint32_t s = 0; s < hap.size(); ++s) {
            double vote = 0;
            bool oriented = s == 0;
            for (uint32_t j = coverStart[s]; j < coverStart[s + 1]; ++j) {
                const uint32_t k = cover[j].fragment;
                if (a[k] == b[k]) continue;
                oriented = true;
                const double weight = oddsOf(cover[j].call).weight;
                vote += isAlt(cover[j].call) == (a[k] > b[k]) ? weight : -weight;
            }
            if (!oriented) return false;
            hap[s] = vote > 0;
            for (uint32_t j = coverStart[s]; j < coverStart[s + 1]; ++j) {
                const auto [da, db] = scoreOf(cover[j].call, s);
                a[cover[j].fragment] += da;
                b[cover[j].fragment] += db;
            }
        }
        // a and b as refresh() would sum them: each fragment's calls in order.
        for (uint32_t k = 0; k < fragments.size(); ++k) sum[k] = logSum(a[k], b[k]);
        return true;
    }

    bool cheapToPlaceExactly() const {
        const size_t n = hap.size();
        if (n <= exact_sites) return true;
        // The walk flips site s (from 1) 2^(n-1-s) times, and every site has a call.
        if (n - 2 >= 64 || (uint64_t{1} << (n - 2)) > exact_flips) return false;
        uint64_t flips = 0;
        for (size_t s = 1; s < n; ++s)
            flips += uint64_t{coverStart[s + 1] - coverStart[s]} << (n - 1 - s);
        return flips <= exact_flips;
    }

    // Walks every placement (the first site fixed: a placement and its mirror are one) flipping
    // one site at a time, in Gray code order from all sites cis, and keeps the likeliest; the
    // earliest met of equal ones.
    void placeExactly() {
        refresh();
        std::vector<uint8_t> best = hap;
        double gained = 0, bestGained = 0;
        for (uint32_t step = 1; step < 1u << (hap.size() - 1); ++step) {
            gained += flip(static_cast<uint32_t>(1 + __builtin_ctz(step)));
            if (gained > bestGained + least_gain) {
                bestGained = gained;
                best = hap;
            }
        }
        hap = best;
        refresh();
    }

    // How much log10 likelihood flipping site s gains, counting the fragments' calls at the
    // sites not left out.
    double flipGain(uint32_t s) const {
        double gain = 0;
        for (uint32_t j = coverStart[s]; j < coverStart[s + 1]; ++j) {
            const uint32_t k = cover[j].fragment;
            const double shift = flipShift(cover[j].call, s);
            gain += logSum(a[k] - shift, b[k] + shift) - sum[k];
        }
        return gain;
    }

    // Flips site s; returns what that gained, as flipGain(s) would have said.
    double flip(uint32_t s) {
        double gain = 0;
        for (uint32_t j = coverStart[s]; j < coverStart[s + 1]; ++j) {
            const uint32_t k = cover[j].fragment;
            const double shift = flipShift(cover[j].call, s);
            a[k] -= shift;
            b[k] += shift;
            const double before = std::exchange(sum[k], logSum(a[k], b[k]));
            gain += sum[k] - before;
        }
        hap[s] ^= 1;
        return gain;
    }

    // Whether it ended with a pass that flipped nothing: then siteGains hold every site's gain.
    bool flipSitesWhileGaining() {
        for (int pass = 0; pass < max_rounds; ++pass) {
            bool flipped = false;
            for (uint32_t s = 0; s < hap.size(); ++s) {
                siteGains[s] = flipGain(s);
                if (siteGains[s] > least_gain) {
                    flip(s);
                    flipped = true;
                }
            }
            if (!flipped) return true;
        }
        return false;
    }

    // Each site's flip gain and the cut gains, from the calls at the sites not left out.
    void weighSitesAndCuts() {
        refresh();
        for (uint32_t s = 0; s < hap.size(); ++s) siteGains[s] = left[s] ? 0 : flipGain(s);
        cuts = cutGains();
    }

    void flipAfter(uint32_t cut) {
        for (uint32_t s = cut + 1; s < hap.size(); ++s) hap[s] ^= 1;
        refresh();
    }

    // a and b from the calls at the sites not left out.
    void refresh() {
        for (uint32_t k = 0; k < fragments.size(); ++k) {
            a[k] = b[k] = 0;
            for (uint32_t c = list.begin(fragmentOf(k)); c < list.end(fragmentOf(k)); ++c) {
                if (left[list.site[c]]) continue;
                const auto [da, db] = scoreOf(list.call[c], list.site[c]);
                a[k] += da;
                b[k] += db;
            }
            sum[k] = logSum(a[k], b[k]);
        }
    }

    // By cut c (between sites c and c+1), the gain of flipping every site after it, in
    // millionths of a LOD. A fragment's share is the same for every cut between two of its
    // calls: added where that stretch begins and taken off where it ends.
    std::vector<int64_t> cutGains() const {
        if (hap.size() < 2) return {};
        std::vector<int64_t> change(hap.size(), 0);
        for (uint32_t k = 0; k < fragments.size(); ++k) {
            double pa = 0, pb = 0;
            uint32_t before = UINT32_MAX;
            const double whole = sum[k];
            for (uint32_t c = list.begin(fragmentOf(k)); c < list.end(fragmentOf(k)); ++c) {
                const uint32_t s = list.site[c];
                if (left[s]) continue;
                if (before != UINT32_MAX) {
                    const double flipped = logSum(pa + b[k] - pb, pb + a[k] - pa);
                    const int64_t gain = roundedLod(flipped - whole);
                    change[before] += gain;
                    change[s] -= gain;
                }
                const auto [da, db] = scoreOf(list.call[c], s);
                pa += da;
                pb += db;
                before = s;
            }
        }
        std::partial_sum(change.begin(), change.end(), change.begin());
        change.pop_back();
        return change;
    }

    // The kept sites joined by fragments, within parts: a new part begins where flipping every
    // site after a cut loses less than minLod, and two kept sites whose flip together loses less
    // than minLod are a part of their own.
    std::vector<uint32_t> joinedSites(const std::vector<int64_t>& gains, double minLod) {
        std::vector<uint32_t> kept, part(hap.size(), 0);
        uint32_t parts = 0;
        for (uint32_t s = 0; s < hap.size(); ++s) {
            if (left[s]) continue;
            if (!kept.empty() && -static_cast<double>(gains[kept.back()]) / lod_unit < minLod)
                ++parts;
            part[s] = parts;
            kept.push_back(s);
        }
        detachUnsurePairs(part, parts, minLod);
        // With every site kept and no part split off, the fragments that connect the set join
        // it whole (most sets of well read sites): no walk needed.
        if (parts == 0 && kept.size() == hap.size()) return std::vector<uint32_t>(hap.size(), 0);
        // Most joins are of a kept site with the one just before it: marked in the walk, and
        // made once each after it rather than once per fragment.
        std::vector<uint32_t> keptBefore(hap.size(), UINT32_MAX);
        for (size_t i = 1; i < kept.size(); ++i) keptBefore[kept[i]] = kept[i - 1];
        std::vector<uint8_t> joinsKeptBefore(hap.size(), 0);
        lowest_root_sets joined(hap.size());
        std::vector<std::pair<uint32_t, uint32_t>> lastOfPart;  // in one fragment: part, site
        for (uint32_t f : fragments) {
            lastOfPart.clear();
            for (uint32_t c = list.begin(f); c < list.end(f); ++c) {
                const uint32_t s = list.site[c];
                if (left[s]) continue;
                const auto last = std::find_if(lastOfPart.begin(), lastOfPart.end(),
                                               [&](const auto& p) { return p.first == part[s]; });
                if (last == lastOfPart.end()) {
                    lastOfPart.emplace_back(part[s], s);
                    continue;
                }
                if (last->second == keptBefore[s])
                    joinsKeptBefore[s] = 1;
                else
                    joined.join(last->second, s);
                last->second = s;
            }
        }
        for (uint32_t s : kept)
            if (joinsKeptBefore[s]) joined.join(keptBefore[s], s);
        std::vector<uint32_t> first(hap.size(), UINT32_MAX);
        for (uint32_t s : kept) first[s] = joined.find(s);
        return first;
    }

    // Each two kept sites of one part (and not all of it) that a fragment shows one after the
    // other, and whose flip together loses less than minLod, become a part of their own: they
    // may be sure of one another and not of the rest, which neither a single site nor a cut
    // shows. (Two sites that share no fragment lose, flipped together, what each loses alone.)
    void detachUnsurePairs(std::vector<uint32_t>& part, uint32_t& parts, double minLod) const {
        std::vector<uint32_t> partSize(parts + 1, 0);
        for (uint32_t s = 0; s < hap.size(); ++s) partSize[part[s]] += !left[s];
        std::vector<uint8_t> detached(hap.size(), 0);
        for (const uint64_t pair : pairsInTurn(part, mayPairLoosely())) {
            const auto s = static_cast<uint32_t>(pair >> 32), t = static_cast<uint32_t>(pair);
            if (detached[s] || detached[t] || partSize[part[s]] == 2 ||
                -pairFlipGain(s, t) >= minLod)
                continue;
            partSize[part[s]] -= 2;
            part[s] = part[t] = ++parts;
            detached[s] = detached[t] = 1;
        }
    }

    // By kept site, whether flipping it together with another kept site could lose less than
    // minLod. Flipped together, two sites lose what each loses alone, less what the fragments
    // that show both give back; the other loses at least minLod, so a site that loses alone
    // more than its fragments could ever give back pairs with none, and its pairs need no
    // walk. (Most sites of well read blocks: the walks would cost a third of the phasing.)
    std::vector<uint8_t> mayPairLoosely() const {
        // By fragment, the most it gives back for any two of its sites.
        std::vector<double> mostGivenBack(fragments.size());
        for (uint32_t k = 0; k < fragments.size(); ++k)
            mostGivenBack[k] = givenBackAtMost(largestShift[k], std::fabs(a[k] - b[k]));
        // Far above the rounding of the sums of logSums that weigh sites and pairs.
        constexpr double rounding_margin = 1e-6;
        std::vector<uint8_t> may(hap.size(), 0);
        for (uint32_t s = 0; s < hap.size(); ++s) {
            if (left[s]) continue;
            const double margin = -siteGains[s] - rounding_margin;
            double givenBack = 0;
            for (uint32_t j = coverStart[s]; j < coverStart[s + 1] && givenBack <= margin; ++j)
                givenBack += mostGivenBack[cover[j].fragment];
            may[s] = givenBack > margin;
        }
        return may;
    }

    // At most what a fragment whose haplotypes' likelihoods differ by `apart` gives back when
    // two of its sites, each flip shifting it by at most `shift`, flip together rather than
    // apart: shift^2 times the largest second derivative of its log-sum along the way,
    // ln10 * min(1, 4 * 10^-|a-b|), |a-b| being at least apart - 4 shift there (in steps: no
    // pow for each fragment).
    static double givenBackAtMost(double shift, double apart) {
        const double least = apart - 4 * shift;
        const double factor = least >= 10 ? 4e-10 : least >= 5 ? 4e-5 : least >= 2 ? 4e-2 : 1;
        return ln10 * shift * shift * factor;
    }

    // The kept sites of one part that a fragment shows one after the other, each pair once, as
    // the earlier site << 32 | the later, in order, of the sites `may` marks: each site's found
    // from its cover entries.
    std::vector<uint64_t> pairsInTurn(const std::vector<uint32_t>& part,
                                      const std::vector<uint8_t>& may) const {
        std::vector<uint64_t> pairs;
        for (uint32_t s = 0; s < hap.size(); ++s) {
            if (!may[s]) continue;
            const auto first = static_cast<std::ptrdiff_t>(pairs.size());
            for (uint32_t k = coverStart[s]; k < coverStart[s + 1]; ++k) {
                const uint32_t end = list.end(fragmentOf(cover[k].fragment));
                uint32_t c = cover[k].index + 1;
                while (c < end && left[list.site[c]]) ++c;
                if (c == end || !may[list.site[c]] || part[list.site[c]] != part[s]) continue;
                const uint64_t pair = uint64_t{s} << 32 | list.site[c];
                if (std::find(pairs.begin() + first, pairs.end(), pair) == pairs.end())
                    pairs.push_back(pair);
            }
            std::sort(pairs.begin() + first, pairs.end());
        }
        return pairs;
    }

    // What flipping sites s and t together gains: their fragments' entries walked side by
    // side (each site's in fragment order).
    double pairFlipGain(uint32_t s, uint32_t t) const {
        double gain = 0;
        uint32_t j = coverStart[s], k = coverStart[t];
        while (j < coverStart[s + 1] || k < coverStart[t + 1]) {
            const uint32_t fs = j < coverStart[s + 1] ? cover[j].fragment : UINT32_MAX;
            const uint32_t ft = k < coverStart[t + 1] ? cover[k].fragment : UINT32_MAX;
            const uint32_t f = std::min(fs, ft);
            double shift = 0;  // what the flips take from a and give to b
            if (fs == f) shift += flipShift(cover[j++].call, s);
            if (ft == f) shift += flipShift(cover[k++].call, t);
            gain += logSum(a[f] - shift, b[f] + shift) - sum[f];
        }
        return gain;
    }

    // What flipping site s takes from a fragment's a (and gives to its b) for its call there.
    double flipShift(uint8_t call, uint32_t s) const {
        const auto [da, db] = scoreOf(call, s);
        return da - db;
    }

    const fragment_list& list;
    const std::vector<uint32_t> fragments;  // theirs, in a fixed order
    std::vector<uint8_t> hap;               // by site: 1 when ALT is on the first haplotype
    std::vector<uint8_t> left;              // by site: 1 when left out
    std::vector<double> a, b, sum;          // by fragment
    std::vector<double> largestShift;       // by fragment: the most a flip of one site shifts
    std::vector<double> siteGains;          // by site: what flipping it gains
    std::vector<int64_t> cuts;              // the cut gains, as cutGains gives them
    bool settled = false;                   // siteGains and cuts are those of the placement
    // By site: where its entries in `cover` begin, and an end mark.
    std::vector<uint32_t> coverStart;
    struct covering {
        uint32_t fragment;  // its number in `fragments`
        uint32_t index;     // the call's, in the list
        uint8_t call;
    };
    std::vector<covering> cover;
};

// The fragments in an order of their contents alone: the reads' order cannot change a sum.
std::vector<uint32_t> canonicalOrder(const fragment_list& list) {
    const auto key = [&](uint32_t c) { return uint64_t{list.site[c]} << 8 | list.call[c]; };
    // Each fragment's first key beside it: most comparisons end there.
    std::vector<std::pair<uint64_t, uint32_t>> order(list.size());
    for (uint32_t f = 0; f < list.size(); ++f) order[f] = {key(list.begin(f)), f};
    std::sort(order.begin(), order.end(), [&](const auto& x, const auto& y) {
        if (x.first != y.first) return x.first < y.first;
        uint32_t i = list.begin(x.second) + 1, j = list.begin(y.second) + 1;
        for (; i < list.end(x.second) && j < list.end(y.second); ++i, ++j)
            if (key(i) != key(j)) return key(i) < key(j);
        return i == list.end(x.second) && j < list.end(y.second);
    });
    std::vector<uint32_t> fragments(list.size());
    for (uint32_t f = 0; f < list.size(); ++f) fragments[f] = order[f].second;
    return fragments;
}

// Values in groups by key, each group in the order the values came: group k is values[start[k]]
// to values[start[k + 1]]. One array for all of them rather than a vector per key: a sample's
// tens of thousands of sets, most of a site or two, would leave that many small allocations,
// and the heap's holes beside the next sample's reads.
struct grouped_values {
    std::vector<uint32_t> start, values;

    bool empty(uint32_t k) const { return start[k] == start[k + 1]; }
    std::vector<uint32_t> of(uint32_t k) const {
        return std::vector<uint32_t>(values.begin() + start[k], values.begin() + start[k + 1]);
    }
};

// For i from 0 to count, valueOf(i) in the group keyOf(i), below `keys`.
template <class KeyOf, class ValueOf>
grouped_values groupByKey(uint32_t keys, uint32_t count, KeyOf&& keyOf, ValueOf&& valueOf) {
    grouped_values groups;
    groups.start.assign(size_t{keys} + 1, 0);
    for (uint32_t i = 0; i < count; ++i) ++groups.start[keyOf(i) + 1];
    std::partial_sum(groups.start.begin(), groups.start.end(), groups.start.begin());
    groups.values.resize(count);
    std::vector<uint32_t> at(groups.start.begin(), groups.start.end() - 1);
    for (uint32_t i = 0; i < count; ++i) groups.values[at[keyOf(i)]++] = valueOf(i);
    return groups;
}

// The sites the fragments show, in position order.
std::vector<uint32_t> sitesShown(const fragment_list& list, const std::vector<phase_site>& sites) {
    std::vector<bool> seen(sites.size(), false);
    for (uint32_t site : list.site) seen[site] = true;
    std::vector<uint32_t> shown;
    for (uint32_t site = 0; site < sites.size(); ++site)
        if (seen[site]) shown.push_back(site);
    std::sort(shown.begin(), shown.end(),
              [&](uint32_t x, uint32_t y) { return sites[x].pos < sites[y].pos; });
    return shown;
}

// The calls of one set's blocks of two sites or more (`firstOf`: by site, its block's first
// site, or UINT32_MAX), `members` naming the set's sites. A block's first site is written 0|1.
void addCalls(const std::vector<uint32_t>& firstOf, const block_model& model,
              const std::vector<uint32_t>& members, const std::vector<phase_site>& sites,
              std::vector<phased_call>& calls) {
    std::vector<uint32_t> size(firstOf.size(), 0);
    for (uint32_t first : firstOf)
        if (first != UINT32_MAX) ++size[first];
    for (uint32_t s = 0; s < firstOf.size(); ++s) {
        const uint32_t first = firstOf[s];
        if (first == UINT32_MAX || size[first] < 2) continue;
        calls.push_back({members[s], sites[members[first]].pos,
                         model.altFirst(s) != model.altFirst(first)});
    }
}

// A site shown twice (overlapping mates) counts once: by its better base when both agree, not
// at all when they differ. The calls come grouped by site; they are made one per site in place.
void keepOneCallPerSite(std::vector<phase_call>& calls) {
    size_t kept = 0;
    for (size_t k = 0; k < calls.size();) {
        size_t end = k + 1;
        uint8_t call = calls[k].call;
        bool agree = true;
        for (; end < calls.size() && calls[end].site == calls[k].site; ++end) {
            agree = agree && isAlt(calls[end].call) == isAlt(call);
            call = std::max(call, calls[end].call);
        }
        if (agree) calls[kept++] = {calls[k].site, call};
        k = end;
    }
    calls.resize(kept);
}

}  // namespace

phaser::phaser(const std::vector<phase_site>& phaseSites, double minimumLod)
    : sites(phaseSites), minLod(minimumLod) {}

void phaser::addFragment(const std::vector<observation>& obs) {
    // Most reads show one site, and no fragment: they cost no more than this test.
    if (obs.size() < 2) return;
    const size_t begin = callSite.size();
    // Positions rising call after call: in order, and no site twice (a phasable site's position
    // is its own).
    bool inOrder = true;
    int32_t lastPos = INT32_MIN;
    for (const observation& o : obs) {
        if (o.supplementary || o.idx >= sites.size() || !sites[o.idx].phasable) continue;
        const phase_site& s = sites[o.idx];
        const char base = static_cast<char>(o.base);  // A, C, G, T or N, as the scan decodes it
        if (base != s.ref && base != s.alt) continue;
        inOrder = inOrder && lastPos < s.pos;
        lastPos = s.pos;
        callSite.push_back(o.idx);
        callAllele.push_back(
            static_cast<uint8_t>(std::min(o.qual, max_quality) | (base == s.alt ? alt_bit : 0)));
    }
    // A read's sites come in position order but for overlapping mates.
    if (!inOrder) orderCallsSince(begin);
    if (callSite.size() - begin < 2) {
        callSite.resize(begin);
        callAllele.resize(begin);
        return;
    }
    fragmentStart.push_back(static_cast<uint32_t>(callSite.size()));
}

void phaser::reserve(size_t calls) {
    callSite.reserve(calls);
    callAllele.reserve(calls);
}

void phaser::orderCallsSince(size_t begin) {
    std::vector<phase_call>& calls = scratch;
    calls.clear();
    for (size_t c = begin; c < callSite.size(); ++c) calls.push_back({callSite[c], callAllele[c]});
    std::stable_sort(calls.begin(), calls.end(), [&](const phase_call& x, const phase_call& y) {
        return sites[x.site].pos < sites[y.site].pos;
    });
    keepOneCallPerSite(calls);
    callSite.resize(begin);
    callAllele.resize(begin);
    for (const phase_call& c : calls) {
        callSite.push_back(c.site);
        callAllele.push_back(c.call);
    }
}

std::vector<phased_call> phaser::phase() {
    fragment_list list{std::exchange(fragmentStart, {0}), std::exchange(callSite, {}),
                       std::exchange(callAllele, {})};
    const std::vector<uint32_t> shown = sitesShown(list, sites);
    // Sites by their number in position order, then the connected sets of them.
    std::vector<uint32_t> numberOf(sites.size());
    for (uint32_t n = 0; n < shown.size(); ++n) numberOf[shown[n]] = n;
    for (uint32_t& s : list.site) s = numberOf[s];
    lowest_root_sets connected(shown.size());
    for (uint32_t f = 0; f < list.size(); ++f)
        connected.joinAll(&list.site[list.begin(f)], list.site.data() + list.end(f));
    // Each set's sites numbered from 0 in position order, in place.
    std::vector<uint32_t> setOf(shown.size()), local(shown.size()), setSize(shown.size(), 0);
    for (uint32_t n = 0; n < shown.size(); ++n) {
        setOf[n] = connected.find(n);
        local[n] = setSize[setOf[n]]++;
    }
    const auto shownCount = static_cast<uint32_t>(shown.size());  // each a possible root
    const grouped_values fragmentsOf = [&] {
        const std::vector<uint32_t> order = canonicalOrder(list);
        return groupByKey(
            shownCount, static_cast<uint32_t>(order.size()),
            [&](uint32_t i) { return setOf[list.site[list.begin(order[i])]]; },
            [&](uint32_t i) { return order[i]; });
    }();
    const grouped_values members =
        groupByKey(shownCount, shownCount, [&](uint32_t n) { return setOf[n]; },
                   [&](uint32_t n) { return shown[n]; });
    for (uint32_t& s : list.site) s = local[s];

    std::vector<phased_call> calls;
    for (uint32_t root = 0; root < shownCount; ++root) {
        if (fragmentsOf.empty(root)) continue;
        block_model model(list, fragmentsOf.of(root), setSize[root]);
        model.place();
        addCalls(model.blocks(minLod), model, members.of(root), sites, calls);
    }
    std::sort(calls.begin(), calls.end(),
              [](const phased_call& x, const phased_call& y) { return x.site < y.site; });
    return calls;
}

std::vector<phase_site> phaseSitesOf(const pos_index& sites) {
    std::vector<phase_site> out(static_cast<size_t>(sites.size()));
    // The SNPs' positions in order: a SNP is phasable when its position is its alone.
    std::vector<int32_t> snpPositions;
    for (int k = 0; k < sites.size(); ++k)
        if (sites[k].snp) snpPositions.push_back(sites[k].pos);
    std::sort(snpPositions.begin(), snpPositions.end());
    const auto alone = [&](int32_t pos) {
        const auto [first, last] = std::equal_range(snpPositions.begin(), snpPositions.end(), pos);
        return last - first == 1;
    };
    for (int k = 0; k < sites.size(); ++k) {
        const site& s = sites[k];
        if (!s.snp) continue;
        out[s.idx] = {s.pos, static_cast<char>(std::toupper(s.ref[0])),
                      static_cast<char>(std::toupper(s.alt[0])), alone(s.pos)};
    }
    return out;
}

std::vector<phased_call> phaseReads(read_table& reads, const std::vector<phase_site>& sites,
                                    double minLod, const std::vector<uint32_t>& leftOut) {
    phaser sample(sites, minLod);
    sample.reserve(reads.observations());
    std::vector<observation> kept;
    reads.takeForPhasing([&](const std::vector<observation>& obs) {
        if (leftOut.empty()) return sample.addFragment(obs);
        kept.clear();
        for (const observation& o : obs)
            if (!std::binary_search(leftOut.begin(), leftOut.end(), o.idx)) kept.push_back(o);
        sample.addFragment(kept);
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
