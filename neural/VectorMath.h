#pragma once

// Packet arithmetic for the hand-written model kernels: the packet types they use and the
// activations they apply packet by packet. Every function is written for any of Eigen's float
// packets (and plain float), so that a kernel can finish an odd length with a narrower packet.

#include <Eigen/Core>

// Users of these templates build with -Wno-ignored-attributes (neural/CMakeLists.txt): a packet
// is a compiler vector type, whose alignment attribute GCC reports as dropped when it becomes a
// template argument. It means nothing here; Eigen's own headers silence it the same way.
// GCC 12 reports the deliberately undefined pass-through operands of its own AVX-512 min and max
// intrinsics as uninitialised once they are inlined here; a known false positive.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace tolvane::vec {

// The widest packet the processor has, and the one of half its width.
using Packet = Eigen::internal::packet_traits<float>::type;
using HalfPacket = Eigen::internal::packet_traits<float>::half;

inline constexpr int kWidth = static_cast<int>(sizeof(Packet) / sizeof(float));
inline constexpr int kHalfWidth = static_cast<int>(sizeof(HalfPacket) / sizeof(float));

template <class P = Packet>
inline P load(const float* from) {
    return Eigen::internal::ploadu<P>(from);
}
template <class P>
inline void store(float* to, const P& value) {
    Eigen::internal::pstoreu(to, value);
}
template <class P = Packet>
inline P broadcast(float value) {
    return Eigen::internal::pset1<P>(value);
}
template <class P = Packet>
inline P zero() {
    return Eigen::internal::pset1<P>(0.0f);
}
// a * b + c, fused wherever the processor can.
template <class P>
inline P multiplyAdd(const P& a, const P& b, const P& c) {
    return Eigen::internal::pmadd(a, b, c);
}
template <class P>
inline P add(const P& a, const P& b) {
    return Eigen::internal::padd(a, b);
}
template <class P>
inline P multiply(const P& a, const P& b) {
    return Eigen::internal::pmul(a, b);
}
template <class P>
inline float sum(const P& a) {
    return Eigen::internal::predux(a);
}

// 1/q for q > 0, within about one unit in the last place. With AVX-512 a 14-bit estimate and one
// Newton step, which keep the divider (a few divisions per 16 lanes at most) out of the way.
template <class P>
inline P reciprocalOfPositive(const P& q) {
    using namespace Eigen::internal;
    return pdiv(pset1<P>(1.0f), q);
}
// 1 - a·b, fused where the processor can (one instruction instead of a negation and a
// multiply-add).
template <class P>
inline P oneMinusProduct(const P& a, const P& b) {
    using namespace Eigen::internal;
    return pmadd(pnegate(a), b, pset1<P>(1.0f));
}
#if defined(__FMA__)
template <>
inline Eigen::internal::Packet8f oneMinusProduct(const Eigen::internal::Packet8f& a, const Eigen::internal::Packet8f& b) {
    return _mm256_fnmadd_ps(a, b, _mm256_set1_ps(1.0f));
}
#endif
#if defined(__AVX512F__)
template <>
inline Eigen::internal::Packet16f oneMinusProduct(const Eigen::internal::Packet16f& a,
                                                  const Eigen::internal::Packet16f& b) {
    return _mm512_fnmadd_ps(a, b, _mm512_set1_ps(1.0f));
}
#endif

// The estimate r refined once: r + r·(1 - q·r), the residual fused.
template <class P>
inline P refinedReciprocal(const P& q, const P& r) {
    using namespace Eigen::internal;
    return pmadd(r, oneMinusProduct(q, r), r);
}
#if defined(__AVX512F__)
template <>
inline Eigen::internal::Packet16f reciprocalOfPositive(const Eigen::internal::Packet16f& q) {
    return refinedReciprocal(q, _mm512_rcp14_ps(q));
}
#endif
#if defined(__AVX512VL__)
template <>
inline Eigen::internal::Packet8f reciprocalOfPositive(const Eigen::internal::Packet8f& q) {
    return refinedReciprocal(q, _mm256_rcp14_ps(q));
}
#endif

#if defined(__AVX512F__) && defined(__AVX512DQ__)
// Two half packets side by side (low in the lower lanes), and the halves of a packet.
inline constexpr bool kCanJoinHalves = true;
inline Packet joinHalves(const HalfPacket& low, const HalfPacket& high) {
    return _mm512_insertf32x8(_mm512_castps256_ps512(low), high, 1);
}
inline HalfPacket lowHalf(const Packet& p) { return _mm512_castps512_ps256(p); }
inline HalfPacket highHalf(const Packet& p) { return _mm512_extractf32x8_ps(p, 1); }
#else
// Declared only: no caller reaches them without AVX-512 (they sit behind kCanJoinHalves).
inline constexpr bool kCanJoinHalves = false;
template <class H>
Packet joinHalves(const H& low, const H& high);
template <class P>
HalfPacket lowHalf(const P& p);
template <class P>
HalfPacket highHalf(const P& p);
#endif

// x limited to [-1, 1]; NaN stays NaN.
template <class P>
inline P hardTanh(const P& x) {
    using namespace Eigen::internal;
    return pmax(pmin(x, pset1<P>(1.0f)), pset1<P>(-1.0f));
}

// max(x, 0), with NaN becoming 0.
template <class P>
inline P relu(const P& x) {
    return Eigen::internal::pmax(zero<P>(), x);
}

// The argument range of the tanh below: beyond ±kTanhLimit (just below 8) it returns ±tanh(c).
inline constexpr float kTanhLimit = 7.99881172180175781f;

// x limited to [-kTanhLimit, kTanhLimit]; NaN stays NaN.
template <class P>
inline P limitTanhArgument(const P& x) {
    using namespace Eigen::internal;
    const P limit = pset1<P>(kTanhLimit);
    // Eigen's min and max return their first operand when either is NaN: a NaN passes through.
    return pmax(pmin(x, limit), pnegate(limit));
}

// x limited to [-kTanhLimit, kTanhLimit], where a NaN becomes the limit of its sign. With
// AVX-512 one instruction (the operand of smaller magnitude, with the first's sign; a NaN
// operand gives way to the other).
template <class P>
inline P limitTanhArgumentSaturatingNaN(const P& x) {
    using namespace Eigen::internal;
    const P limit = pset1<P>(kTanhLimit);
    const P sign = pand(x, pset1<P>(-0.0f));
    // pmin returns its first operand, the limit, when the magnitude is NaN.
    return por(pmin(limit, pabs(x)), sign);
}
#if defined(__AVX512DQ__)
template <>
inline Eigen::internal::Packet16f limitTanhArgumentSaturatingNaN(const Eigen::internal::Packet16f& x) {
    return _mm512_range_ps(x, _mm512_set1_ps(kTanhLimit), 0x2);
}
#endif
#if defined(__AVX512DQ__) && defined(__AVX512VL__)
template <>
inline Eigen::internal::Packet8f limitTanhArgumentSaturatingNaN(const Eigen::internal::Packet8f& x) {
    return _mm256_range_ps(x, _mm256_set1_ps(kTanhLimit), 0x2);
}
#endif

// tanh of x within ±kTanhLimit as an odd rational function of x, within a few units in the
// last place everywhere (4e-7), ±1 within 2.4e-7 at the limits. Its coefficients are those of
// Eigen's float tanh, without the division's tiny-argument special case, whose gain there is
// below one unit in the last place, and with a reciprocal in place of the division.
template <class P>
inline P tanhOfLimited(const P& x) {
    using namespace Eigen::internal;
    const P x2 = pmul(x, x);
    P p = pmadd(x2, pset1<P>(-2.76076847742355e-16f), pset1<P>(2.00018790482477e-13f));
    p = pmadd(x2, p, pset1<P>(-8.60467152213735e-11f));
    p = pmadd(x2, p, pset1<P>(5.12229709037114e-08f));
    p = pmadd(x2, p, pset1<P>(1.48572235717979e-05f));
    p = pmadd(x2, p, pset1<P>(6.37261928875436e-04f));
    p = pmadd(x2, p, pset1<P>(4.89352455891786e-03f));
    p = pmul(x, p);
    P q = pmadd(x2, pset1<P>(1.19825839466702e-06f), pset1<P>(1.18534705686654e-04f));
    q = pmadd(x2, q, pset1<P>(2.26843463243900e-03f));
    q = pmadd(x2, q, pset1<P>(4.89352518554385e-03f));  // at least 0.0049
    return pmul(p, reciprocalOfPositive(q));
}

// tanh over the whole float range; NaN stays NaN.
template <class P>
inline P tanh(const P& input) {
    return tanhOfLimited(limitTanhArgument(input));
}

// tanh over the whole float range, a NaN giving ±1 by its sign bit: for the recurrent kernel,
// whose state then stays finite whatever its sums hold.
template <class P>
inline P saturatingTanh(const P& input) {
    return tanhOfLimited(limitTanhArgumentSaturatingNaN(input));
}

// The logistic sigmoid of 2·halfX, as 0.5 + 0.5·tanh(halfX): callers keep half the argument
// (for a weighted sum, halved weights give exactly half the sum). Within 2e-7 of the true value
// everywhere, 0 and 1 included; a NaN gives 0 or 1 by its sign bit.
template <class P>
inline P sigmoidOfTwice(const P& halfX) {
    const P half = broadcast<P>(0.5f);
    return multiplyAdd(saturatingTanh(halfX), half, half);
}

}  // namespace tolvane::vec

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
