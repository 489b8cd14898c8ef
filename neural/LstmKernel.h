#pragma once

// The step of the VINYL models' recurrent layer (40 units, one input, a dense read-out), written
// out by hand: one or two independent streams advance in lockstep, each with its own weights and
// state. Every stream runs the same operations in the same order whether it runs alone or beside
// another, so its results do not depend on the company it keeps.
//
// The gates' activations saturate a NaN sum (only sums that overflow both ways can be one) to
// ±1, so that the state stays finite whatever the sums hold.

#include "neural/VectorMath.h"

namespace tolvane::lstm {

inline constexpr int kHidden = 40;
inline constexpr int kGateBlocks = 4;  // forget, input, output, candidate
inline constexpr int kRows = kGateBlocks * kHidden;
// Units go in chunks of a packet's width; when the packet does not divide the units, the last
// chunk is a half packet wide.
inline constexpr int kFullChunkUnits = kHidden / vec::kWidth * vec::kWidth;
static_assert(kHidden % vec::kWidth == 0 || kHidden % vec::kWidth == vec::kHalfWidth,
              "the units split into whole packets and at most one half packet");
static_assert(kHidden % 2 == 0, "the recurrent columns are consumed in pairs");

enum GateBlock { kForget = 0, kInput = 1, kOutput = 2, kCandidate = 3 };

// Whether two streams in lockstep keep all their sums in registers: only with AVX-512's 32 vector
// registers. With 16 they spill, and two streams run faster one after the other.
#if defined(__AVX512F__)
inline constexpr bool kLockstepPays = true;
#else
inline constexpr bool kLockstepPays = false;
#endif

// The row of a unit's gate in the weights: each chunk of units holds its forget, input, output
// and candidate rows in turn, so that a chunk's four gates are four packets of rows.
constexpr int rowOf(int gate, int unit) {
    if (unit < kFullChunkUnits) return unit / vec::kWidth * kGateBlocks * vec::kWidth + gate * vec::kWidth + unit % vec::kWidth;
    return kFullChunkUnits * kGateBlocks + gate * vec::kHalfWidth + (unit - kFullChunkUnits);
}

// Weights of one model, laid out for the step: 41 columns of the 160 gate rows (in the order of
// rowOf), column 0 the input weight and column 1 + k the weight of h[k]. The three sigmoid gates
// hold half their weights and biases, so that their sums come out halved (see
// vec::sigmoidOfTwice).
struct Weights {
    alignas(64) float gates[1 + kHidden][kRows] = {};
    alignas(64) float bias[kRows] = {};
    alignas(64) float dense[kHidden] = {};
    float denseBias = 0.0f;
};

// Hidden and cell state of one stream.
struct State {
    alignas(64) float h[kHidden] = {};
    alignas(64) float c[kHidden] = {};
};

struct Stream {
    const Weights* weights;
    State* state;
};

// Gate sums of rows [first, first + kSumRows) for each stream: the input column and the bias
// start one chain, the recurrent columns alternate between two chains (to hide the multiply-add
// latency), and the chains are summed at the end. Five packets per stream keep all sums of two
// streams in registers. With SharedWeights every stream uses the first stream's weights, each
// weight packet loaded once for all: the loads, not the multiply-adds, would limit otherwise.
inline constexpr int kSumPackets = 5;
inline constexpr int kSumRows = kSumPackets * vec::kWidth;
static_assert(kRows % kSumRows == 0, "the gate rows split into whole runs");

template <int S, bool SharedWeights>
inline void gateSums(const Stream (&streams)[S], const float (&x)[S], int first, float (&sums)[S][kRows]) {
    using vec::Packet;
    auto weightsOf = [&](int s) -> const Weights& { return *streams[SharedWeights ? 0 : s].weights; };
    Packet even[S][kSumPackets];
    Packet odd[S][kSumPackets];
    for (int s = 0; s < S; ++s) {
        const Packet input = vec::broadcast(x[s]);
        for (int p = 0; p < kSumPackets; ++p) {
            const int row = first + p * vec::kWidth;
            even[s][p] = vec::multiplyAdd(vec::load(weightsOf(s).gates[0] + row), input, vec::load(weightsOf(s).bias + row));
            odd[s][p] = vec::zero();
        }
    }
    for (int k = 0; k < kHidden; k += 2) {
        Packet hEven[S], hOdd[S];
        for (int s = 0; s < S; ++s) {
            hEven[s] = vec::broadcast(streams[s].state->h[k]);
            hOdd[s] = vec::broadcast(streams[s].state->h[k + 1]);
        }
        for (int p = 0; p < kSumPackets; ++p) {
            const int row = first + p * vec::kWidth;
            if constexpr (SharedWeights) {
                const Packet wEven = vec::load(weightsOf(0).gates[1 + k] + row);
                const Packet wOdd = vec::load(weightsOf(0).gates[2 + k] + row);
                for (int s = 0; s < S; ++s) {
                    even[s][p] = vec::multiplyAdd(wEven, hEven[s], even[s][p]);
                    odd[s][p] = vec::multiplyAdd(wOdd, hOdd[s], odd[s][p]);
                }
            } else {
                for (int s = 0; s < S; ++s) {
                    even[s][p] = vec::multiplyAdd(vec::load(weightsOf(s).gates[1 + k] + row), hEven[s], even[s][p]);
                    odd[s][p] = vec::multiplyAdd(vec::load(weightsOf(s).gates[2 + k] + row), hOdd[s], odd[s][p]);
                }
            }
        }
    }
    for (int s = 0; s < S; ++s)
        for (int p = 0; p < kSumPackets; ++p) {
            const int row = first + p * vec::kWidth;
            vec::store(sums[s] + row, vec::add(even[s][p], odd[s][p]));
        }
}

// One chunk of units (as many as P has lanes): the gates from their sums, the cell and hidden
// state, and the chunk's share of the dense read-out.
template <class P>
inline P updateUnits(const Weights& w, State& state, const float (&sums)[kRows], int firstUnit, const P& readOut) {
    constexpr int kWidth = static_cast<int>(sizeof(P) / sizeof(float));
    const float* chunk = sums + rowOf(kForget, firstUnit);
    const P forget = vec::sigmoidOfTwice(vec::load<P>(chunk + kForget * kWidth));
    const P input = vec::sigmoidOfTwice(vec::load<P>(chunk + kInput * kWidth));
    const P output = vec::sigmoidOfTwice(vec::load<P>(chunk + kOutput * kWidth));
    const P candidate = vec::saturatingTanh(vec::load<P>(chunk + kCandidate * kWidth));
    const P c = vec::multiplyAdd(forget, vec::load<P>(state.c + firstUnit), vec::multiply(input, candidate));
    const P h = vec::multiply(output, vec::saturatingTanh(c));
    vec::store(state.c + firstUnit, c);
    vec::store(state.h + firstUnit, h);
    return vec::multiplyAdd(vec::load<P>(w.dense + firstUnit), h, readOut);
}

// The dense read-out of the full chunks of units, their gates, cell and hidden state updated.
inline float updateFullChunks(const Weights& w, State& state, const float (&sums)[kRows]) {
    vec::Packet readOut = vec::zero();
    for (int unit = 0; unit < kFullChunkUnits; unit += vec::kWidth) readOut = updateUnits(w, state, sums, unit, readOut);
    return vec::sum(readOut);
}

// The last, half-width chunk of two streams at once, one stream in each half of a packet: every
// lane sees the same operations as in updateUnits on a half packet.
inline void updateLastChunkOfPair(const Stream (&streams)[2], const float (&sums)[2][kRows], float (&readOut)[2]) {
    if constexpr (vec::kCanJoinHalves) {
        using vec::HalfPacket;
        using vec::Packet;
        constexpr int first = kFullChunkUnits;
        auto joined = [&](const float* a, const float* b) {
            return vec::joinHalves(vec::load<HalfPacket>(a), vec::load<HalfPacket>(b));
        };
        auto gate = [&](int g) { return joined(sums[0] + rowOf(g, first), sums[1] + rowOf(g, first)); };
        State& a = *streams[0].state;
        State& b = *streams[1].state;
        const Packet forget = vec::sigmoidOfTwice(gate(kForget));
        const Packet input = vec::sigmoidOfTwice(gate(kInput));
        const Packet output = vec::sigmoidOfTwice(gate(kOutput));
        const Packet candidate = vec::saturatingTanh(gate(kCandidate));
        const Packet c = vec::multiplyAdd(forget, joined(a.c + first, b.c + first), vec::multiply(input, candidate));
        const Packet h = vec::multiply(output, vec::saturatingTanh(c));
        vec::store(a.c + first, vec::lowHalf(c));
        vec::store(b.c + first, vec::highHalf(c));
        vec::store(a.h + first, vec::lowHalf(h));
        vec::store(b.h + first, vec::highHalf(h));
        const Packet dense = joined(streams[0].weights->dense + first, streams[1].weights->dense + first);
        const Packet terms = vec::multiplyAdd(dense, h, vec::zero());
        readOut[0] = vec::sum(vec::lowHalf(terms));
        readOut[1] = vec::sum(vec::highHalf(terms));
    }
}

// Advances every stream by one sample: y[s] is stream s's dense read-out for input x[s]. With
// SharedWeights the streams' weights must be equal (they are read from the first stream's).
template <int S, bool SharedWeights = false>
inline void step(const Stream (&streams)[S], const float (&x)[S], float (&y)[S]) {
    alignas(64) float sums[S][kRows];
    for (int first = 0; first < kRows; first += kSumRows) gateSums<S, SharedWeights>(streams, x, first, sums);
    for (int s = 0; s < S; ++s) y[s] = updateFullChunks(*streams[s].weights, *streams[s].state, sums[s]);
    if constexpr (kFullChunkUnits < kHidden) {
        float last[S];
        if constexpr (S == 2 && vec::kCanJoinHalves) {
            updateLastChunkOfPair(streams, sums, last);
        } else {
            for (int s = 0; s < S; ++s)
                last[s] = vec::sum(updateUnits(*streams[s].weights, *streams[s].state, sums[s], kFullChunkUnits,
                                               vec::zero<vec::HalfPacket>()));
        }
        for (int s = 0; s < S; ++s) y[s] += last[s];
    }
    for (int s = 0; s < S; ++s) y[s] += streams[s].weights->denseBias;
}

}  // namespace tolvane::lstm
