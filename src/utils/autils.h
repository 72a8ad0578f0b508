// Pedigree checks for duos and trios at a bi-allelic site, index sets, and random windowing.
#pragma once

#include <vector>

class autils {
public:
    // Index of the first largest element; 0 for an empty vector.
    static int max(std::vector<double>& v);
    static int max(std::vector<int>& v);
    // -1 for a Mendelian inconsistency, else the number of heterozygous parents whose
    // transmitted allele is known. Alleles are 0 or 1; any other code gives 0.
    static int checkDuo(int p0, int p1, int c0, int c1);
    static int checkTrio(int f0, int f1, int m0, int m1, int c0, int c1);
    // I becomes the positions of the true entries of B, in increasing order.
    static void findUniqueSet(std::vector<bool>& B, std::vector<int>& I);
    // Appends to R random windows of B of fewer than 2 * minimum items (or exactly 2),
    // neighbours sharing two items. A minimum below 2 is taken as 2.
    static void decompose(int minimum, std::vector<std::vector<int>>& B,
                          std::vector<std::vector<std::vector<int>>>& R);
};
