// The engine's generator: xoshiro256** seeded through splitmix64 from one
// 64-bit key. Small, fast, and a value type, so every call owns its own.
#pragma once

#include <cmath>
#include <cstdint>

namespace trellisk {
namespace augment {

inline uint64_t splitmix64(uint64_t &state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

class Rng {
public:
    explicit Rng(uint64_t key) {
        uint64_t sm = key;
        for (auto &v : s_) v = splitmix64(sm);
    }
    uint64_t next() {
        const uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // [0, 1)
    double uniform() { return double(next() >> 11) * 0x1.0p-53; }
    double uniform(double a, double b) { return a + (b - a) * uniform(); }
    // Integer in [lo, hi], both included.
    int integer(int lo, int hi) {
        const uint64_t span = uint64_t(int64_t(hi) - lo) + 1;
        return int(lo + int64_t(next() % span));
    }
    bool chance(double p) { return uniform() < p; }
    double normal(double mean, double sd) {
        double u1 = uniform();
        while (u1 <= 0) u1 = uniform();
        const double u2 = uniform();
        return mean + sd * std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t s_[4];
};

}  // namespace augment
}  // namespace trellisk
