// Pedigree and set helpers; decompose draws from the shared generator so runs are reproducible.
#include "utils/autils.h"

#include <cmath>
#include <cstddef>

#include "utils/putils.h"

namespace {
// A genotype as its count of second alleles: 0 (0/0), 1 (het) or 2 (1/1); -1 when not 0/1 codes.
int dosage(int a0, int a1) {
    const bool valid = (a0 == 0 || a0 == 1) && (a1 == 0 || a1 == 1);
    return valid ? a0 + a1 : -1;
}

bool canTransmit(int parent, int allele) { return parent == 1 || parent == 2 * allele; }

// A heterozygous child has two readings of which allele came from which parent.
bool fromParents(int first, int second, int child) {
    const int a = child == 2 ? 1 : 0;
    const int b = child == 0 ? 0 : 1;
    return (canTransmit(first, a) && canTransmit(second, b)) ||
           (canTransmit(first, b) && canTransmit(second, a));
}

template <class T> int maxIndex(const std::vector<T>& v, T best) {
    int index = 0;
    for (std::size_t i = 0; i < v.size(); ++i)
        if (v[i] > best) {
            best = v[i];
            index = static_cast<int>(i);
        }
    return index;
}
}  // namespace

int autils::max(std::vector<double>& v) { return maxIndex(v, -1e300); }

int autils::max(std::vector<int>& v) { return maxIndex(v, -1000000000); }

int autils::checkDuo(int p0, int p1, int c0, int c1) {
    const int parent = dosage(p0, p1);
    const int child = dosage(c0, c1);
    if (parent < 0 || child < 0) return 0;
    // The unseen parent could pass on either allele, like a heterozygote.
    if (!fromParents(parent, 1, child)) return -1;
    // A heterozygous child of a heterozygous parent hides which allele was passed on.
    return parent == 1 && child != 1 ? 1 : 0;
}

int autils::checkTrio(int f0, int f1, int m0, int m1, int c0, int c1) {
    const int first = dosage(f0, f1);
    const int second = dosage(m0, m1);
    const int child = dosage(c0, c1);
    if (first < 0 || second < 0 || child < 0) return 0;
    if (!fromParents(first, second, child)) return -1;
    const int hets = (first == 1) + (second == 1);
    // A heterozygous child of two heterozygotes could have either allele from either parent.
    return child == 1 && hets == 2 ? 0 : hets;
}

void autils::findUniqueSet(std::vector<bool>& B, std::vector<int>& I) {
    I.clear();
    for (std::size_t i = 0; i < B.size(); ++i)
        if (B[i]) I.push_back(static_cast<int>(i));
}

void autils::decompose(int minimum, std::vector<std::vector<int>>& B,
                       std::vector<std::vector<std::vector<int>>>& R) {
    // Below 2 a half can be as long as B (endless recursion) or start before its first item.
    if (minimum < 2) minimum = 2;
    const int n = static_cast<int>(B.size());
    if (n < 2 * minimum || n == 2) {
        R.push_back(B);
        return;
    }
    const int c = static_cast<int>(std::floor(putils::getRandom() * (n - 2 * minimum))) + minimum;
    std::vector<std::vector<int>> left(B.begin(), B.begin() + c + 1);
    std::vector<std::vector<int>> right(B.begin() + c - 1, B.end());
    // Appending in place keeps all draws for the left half before those for the right half.
    decompose(minimum, left, R);
    decompose(minimum, right, R);
}
