// Park-Miller generator with a Bays-Durham shuffle, in integers so a seed means the same sequence
// on every platform; plus the probability-vector helpers built on it.
#include "utils/putils.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdint>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

// glibc's assertion reporter, called directly so the check survives NDEBUG builds.
extern "C" [[noreturn]] void __assert_fail(const char* assertion, const char* file,
                                           unsigned int line, const char* function) noexcept;

namespace {
constexpr std::int64_t multiplier = 16807;
constexpr std::int64_t modulus = 2147483647;
constexpr std::int64_t quotient = 127773;  // modulus / multiplier (Schrage)
constexpr std::int64_t remainder = 2836;   // modulus % multiplier
constexpr int tableSize = 32;
constexpr std::int64_t tableDivisor = 1 + (modulus - 1) / tableSize;
constexpr double scale = 1.0 / 2147483647.0;
constexpr double largest = 1.0 - 1.2e-7;

std::int64_t seed = -123456789;
std::int64_t iy = 0;
std::array<std::int64_t, tableSize> iv{};

// Schrage's method: multiplier * seed mod modulus without overflowing 32 bits.
void advance() {
    const std::int64_t k = seed / quotient;
    seed = multiplier * (seed - k * quotient) - remainder * k;
    if (seed < 0) seed += modulus;
}

void fillTable() {
    seed = -seed < 1 ? 1 : -seed;
    // The first 8 steps are thrown away: they also bring seeds above the modulus into range.
    for (int j = tableSize + 7; j >= 0; --j) {
        advance();
        if (j < tableSize) iv[static_cast<std::size_t>(j)] = seed;
    }
    iy = iv[0];
}
}  // namespace

void putils::initRandom(long s) {
    // -LONG_MIN does not exist; the nearest seed stands in for it.
    seed = s == LONG_MIN ? LONG_MAX : -static_cast<std::int64_t>(s);
}

long putils::getSeed() { return static_cast<long>(seed); }

double putils::getRandom() {
    if (seed <= 0 || iy == 0) fillTable();
    advance();
    const auto j = static_cast<std::size_t>(iy / tableDivisor);
    iy = iv[j];
    iv[j] = seed;
    return std::min(static_cast<double>(iy) * scale, largest);
}

int putils::getRandom(int n) { return static_cast<int>(std::floor(getRandom() * n)); }

void putils::normalise(std::vector<double>& P) {
    double sum = 0.0;
    for (double p : P) sum += p;
    if (sum == 0.0) return;
    for (double& p : P) p /= sum;
}

int putils::sample(std::vector<double>& P, double total) {
    const double r = getRandom() * total;
    if (P.empty()) return -1;
    if (P.size() == 1) return 0;
    double c = P[0];
    if (c > r) return 0;
    const int last = static_cast<int>(P.size()) - 1;
    for (int i = 1; i < last; ++i) {
        c += P[static_cast<std::size_t>(i)];
        if (c > r) return i;
    }
    return last;
}

double putils::entropy(std::vector<double>& P) {
    double e = 0.0;
    for (double p : P)
        if (p > 0.0) e += p * std::log(p);
    return e;
}

double putils::KLdistance(std::vector<double>& P, std::vector<double>& Q) {
    if (P.size() != Q.size())
        __assert_fail("P.size() == Q.size()", "src/utils.cpp", __LINE__, __PRETTY_FUNCTION__);
    double d = 0.0;
    for (std::size_t i = 0; i < P.size(); ++i)
        if (Q[i] > 0.0 && P[i] > 0.0) d += P[i] * (std::log(P[i]) - std::log(Q[i]));
    return d;
}

std::string putils::getRandomID() {
    boost::uuids::random_generator generator;
    return boost::uuids::to_string(generator());
}
