#pragma once

// Packet arithmetic for the hand-written model kernels: the packet type they use and the
// activations they apply packet by packet.

#include <Eigen/Core>

namespace tolvane::vec {

// 256-bit packets wherever the processor has them, also where 512-bit ones exist: there the
// 512-bit multiply-adds issue on one port at a lowered clock, while two 256-bit ports run at the
// full clock, so the narrower packets do more multiply-adds per second.
#if defined(EIGEN_VECTORIZE_AVX)
using Packet = Eigen::internal::Packet8f;
#else
using Packet = Eigen::internal::packet_traits<float>::type;
#endif
inline constexpr int kWidth = static_cast<int>(sizeof(Packet) / sizeof(float));

inline Packet load(const float* from) { return Eigen::internal::ploadu<Packet>(from); }
inline void store(float* to, const Packet& value) { Eigen::internal::pstoreu(to, value); }
inline Packet broadcast(float value) { return Eigen::internal::pset1<Packet>(value); }
inline Packet zero() { return Eigen::internal::pset1<Packet>(0.0f); }
// a * b + c, fused wherever the processor can.
inline Packet multiplyAdd(const Packet& a, const Packet& b, const Packet& c) { return Eigen::internal::pmadd(a, b, c); }
inline Packet add(const Packet& a, const Packet& b) { return Eigen::internal::padd(a, b); }
inline Packet multiply(const Packet& a, const Packet& b) { return Eigen::internal::pmul(a, b); }
inline float sum(const Packet& a) { return Eigen::internal::predux(a); }

// tanh as an odd rational function of x on [-c, c], c just below 8, and ±tanh(c) beyond; within
// a few units in the last place everywhere, ±1 within 2.4e-7 for large arguments, and NaN stays
// NaN. Its coefficients are those of Eigen's float tanh, without the division's tiny-argument
// special case, whose gain there is below one unit in the last place.
inline Packet tanh(const Packet& input) {
    using namespace Eigen::internal;
    const Packet limit = pset1<Packet>(7.99881172180175781f);
    // Eigen's min and max return their first operand when either is NaN: a NaN passes through.
    const Packet x = pmax(pmin(input, limit), pnegate(limit));
    const Packet x2 = pmul(x, x);
    Packet p = pmadd(x2, pset1<Packet>(-2.76076847742355e-16f), pset1<Packet>(2.00018790482477e-13f));
    p = pmadd(x2, p, pset1<Packet>(-8.60467152213735e-11f));
    p = pmadd(x2, p, pset1<Packet>(5.12229709037114e-08f));
    p = pmadd(x2, p, pset1<Packet>(1.48572235717979e-05f));
    p = pmadd(x2, p, pset1<Packet>(6.37261928875436e-04f));
    p = pmadd(x2, p, pset1<Packet>(4.89352455891786e-03f));
    p = pmul(x, p);
    Packet q = pmadd(x2, pset1<Packet>(1.19825839466702e-06f), pset1<Packet>(1.18534705686654e-04f));
    q = pmadd(x2, q, pset1<Packet>(2.26843463243900e-03f));
    q = pmadd(x2, q, pset1<Packet>(4.89352518554385e-03f));
    return pdiv(p, q);
}

// The logistic sigmoid of 2·halfX, as 0.5 + 0.5·tanh(halfX): callers keep half the argument
// (for a weighted sum, halved weights give exactly half the sum). Within 1.2e-7 of the true
// value everywhere, 0 and 1 included.
inline Packet sigmoidOfTwice(const Packet& halfX) {
    const Packet half = broadcast(0.5f);
    return multiplyAdd(tanh(halfX), half, half);
}

}  // namespace tolvane::vec
