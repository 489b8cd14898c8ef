#pragma once

// The step of the VINYL models' recurrent layer (40 units, one input, a dense read-out), written
// out by hand: one or two independent streams advance in lockstep, each with its own weights and
// state. Every stream runs the same operations in the same order whether it runs alone or beside
// another, so its results do not depend on the company it keeps.

#include <cstddef>

#include "neural/VectorMath.h"

namespace tolvane::lstm {

inline constexpr int kHidden = 40;
inline constexpr int kGateBlocks = 4;  // forget, input, output, candidate
inline constexpr int kPackets = kHidden / vec::kWidth;
static_assert(kHidden % vec::kWidth == 0, "a gate block is a whole number of packets");
static_assert(kHidden % 2 == 0, "the recurrent columns are consumed in pairs");

enum GateBlock { kForget = 0, kInput = 1, kOutput = 2, kCandidate = 3 };

// Weights of one model, laid out for the step: per gate block, 41 columns of 40 rows, column 0
// the input weight and column 1 + k the weight of h[k]. The three sigmoid blocks hold half their
// weights and biases, so that their sums come out halved (see vec::sigmoidOfTwice).
struct Weights {
    alignas(64) float gates[kGateBlocks][1 + kHidden][kHidden] = {};
    alignas(64) float bias[kGateBlocks][kHidden] = {};
    alignas(64) float dense[kHidden] = {};
    float denseBias = 0.0f;
};

// Hidden and cell state of one stream.
struct State {
    alignas(64) float h[kHidden] = {};
    alignas(64) float c[kHidden] = {};
};

// One stream of the step: its weights, its state, and this step's input.
struct Stream {
    const Weights* weights;
    State* state;
};

// Pre-activations of one gate block for each stream: the input column and the bias start one
// chain, the recurrent columns alternate between two chains (to hide the multiply-add latency),
// and the chains are summed at the end.
template <int S>
inline void gateBlock(const Stream (&streams)[S], const float (&x)[S], int block,
                      float (&pre)[S][kGateBlocks][kHidden]) {
    vec::Packet even[S][kPackets];
    vec::Packet odd[S][kPackets];
    for (int s = 0; s < S; ++s) {
        const Weights& w = *streams[s].weights;
        const vec::Packet input = vec::broadcast(x[s]);
        for (int p = 0; p < kPackets; ++p) {
            even[s][p] = vec::multiplyAdd(vec::load(w.gates[block][0] + p * vec::kWidth), input,
                                          vec::load(w.bias[block] + p * vec::kWidth));
            odd[s][p] = vec::zero();
        }
    }
    for (int k = 0; k < kHidden; k += 2) {
        for (int s = 0; s < S; ++s) {
            const Weights& w = *streams[s].weights;
            const vec::Packet hEven = vec::broadcast(streams[s].state->h[k]);
            const vec::Packet hOdd = vec::broadcast(streams[s].state->h[k + 1]);
            const float* columnEven = w.gates[block][1 + k];
            const float* columnOdd = w.gates[block][2 + k];
            for (int p = 0; p < kPackets; ++p) {
                even[s][p] = vec::multiplyAdd(vec::load(columnEven + p * vec::kWidth), hEven, even[s][p]);
                odd[s][p] = vec::multiplyAdd(vec::load(columnOdd + p * vec::kWidth), hOdd, odd[s][p]);
            }
        }
    }
    for (int s = 0; s < S; ++s)
        for (int p = 0; p < kPackets; ++p) vec::store(pre[s][block] + p * vec::kWidth, vec::add(even[s][p], odd[s][p]));
}

// Gates, cell and hidden state from the pre-activations; returns the dense read-out.
inline float updateState(const Weights& w, State& state, const float (&pre)[kGateBlocks][kHidden]) {
    vec::Packet readOut = vec::zero();
    for (int p = 0; p < kPackets; ++p) {
        const int at = p * vec::kWidth;
        const vec::Packet forget = vec::sigmoidOfTwice(vec::load(pre[kForget] + at));
        const vec::Packet input = vec::sigmoidOfTwice(vec::load(pre[kInput] + at));
        const vec::Packet output = vec::sigmoidOfTwice(vec::load(pre[kOutput] + at));
        const vec::Packet candidate = vec::tanh(vec::load(pre[kCandidate] + at));
        const vec::Packet c = vec::multiplyAdd(forget, vec::load(state.c + at), vec::multiply(input, candidate));
        const vec::Packet h = vec::multiply(output, vec::tanh(c));
        vec::store(state.c + at, c);
        vec::store(state.h + at, h);
        readOut = vec::multiplyAdd(vec::load(w.dense + at), h, readOut);
    }
    return vec::sum(readOut) + w.denseBias;
}

// Advances every stream by one sample: y[s] is stream s's dense read-out for input x[s].
template <int S>
inline void step(const Stream (&streams)[S], const float (&x)[S], float (&y)[S]) {
    alignas(64) float pre[S][kGateBlocks][kHidden];
    for (int block = 0; block < kGateBlocks; ++block) gateBlock(streams, x, block, pre);
    for (int s = 0; s < S; ++s) y[s] = updateState(*streams[s].weights, *streams[s].state, pre[s]);
}

}  // namespace tolvane::lstm
