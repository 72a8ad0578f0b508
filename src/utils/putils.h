// Process-wide reproducible random numbers, weighted draws, entropy sums and random identifiers.
#pragma once

#include <string>
#include <vector>

class putils {
public:
    // s > 0 restarts the sequence from s, 0 from 1; s < 0 keeps an existing shuffle table.
    static void initRandom(long s);
    // The generator's current state, not the value given to initRandom.
    static long getSeed();
    // In (0, 0.99999988]; exactly 0 once after a seed that is a multiple of 2^31 - 1.
    static double getRandom();
    static int getRandom(int n);
    static void normalise(std::vector<double>& P);
    // Index drawn with probability P[i] / total; always takes exactly one draw.
    // An empty P gives -1.
    static int sample(std::vector<double>& P, double total);
    // Sum of p ln p over positive p, not negated: 0 or negative for a probability vector.
    static double entropy(std::vector<double>& P);
    // Stops the process when the sizes differ.
    static double KLdistance(std::vector<double>& P, std::vector<double>& Q);
    // A version-4 UUID from system entropy: independent of the seed, never reproducible.
    static std::string getRandomID();
};
