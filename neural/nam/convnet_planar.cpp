#include "neural/nam/convnet_planar.h"

#include <algorithm>
#include <cstring>
#include <typeinfo>

#include "neural/VectorMath.h"
#include "neural/nam/convnet.h"

namespace nam::convnet {
namespace {

namespace vec = tolvane::vec;

// Output channels computed together: they share the loads of their inputs.
constexpr int kRowGroup = 4;
constexpr int kChunkPackets = 2;  // packets of frames per inner step

int padded_length(int frames) { return (frames + vec::kWidth - 1) / vec::kWidth * vec::kWidth; }

// One output row per channel of a PReLU with a slope per channel; the same activation for every
// row otherwise.
std::vector<activations::Activation::Ptr> row_activations(const activations::Activation::Ptr& activation,
                                                          int channels) {
    const auto* prelu = dynamic_cast<const activations::ActivationPReLU*>(activation.get());
    if (prelu == nullptr || prelu->negative_slopes().size() == 1)
        return std::vector<activations::Activation::Ptr>(static_cast<size_t>(channels), activation);
    std::vector<activations::Activation::Ptr> rows;
    for (const float slope : prelu->negative_slopes()) rows.push_back(std::make_shared<activations::ActivationPReLU>(slope));
    return rows;
}

// The packet form of an activation, when it has one that gives the same values.
PlanarConvNet::PacketActivation packet_form(const activations::Activation& activation) {
    const std::type_info& type = typeid(activation);
    if (type == typeid(activations::ActivationTanh)) return PlanarConvNet::PacketActivation::kTanh;
    if (type == typeid(activations::ActivationHardTanh)) return PlanarConvNet::PacketActivation::kHardtanh;
    if (type == typeid(activations::ActivationReLU)) return PlanarConvNet::PacketActivation::kReLU;
    return PlanarConvNet::PacketActivation::kNone;
}

}  // namespace

PlanarConvNet::PlanarConvNet(const std::vector<ConvNetBlock>& blocks, const _Head& head) {
    for (const ConvNetBlock& block : blocks) {
        const Conv1D& conv = block.conv();
        Layer layer;
        layer.in_channels = static_cast<int>(conv.get_in_channels());
        layer.out_channels = static_cast<int>(conv.get_out_channels());
        layer.dilation = conv.get_dilation();
        const auto taps = static_cast<size_t>(layer.out_channels * layer.in_channels);
        layer.taps_old.resize(taps);
        layer.taps_new.resize(taps);
        for (int o = 0; o < layer.out_channels; ++o) {
            layer.bias.push_back(conv.get_bias(o));
            for (int i = 0; i < layer.in_channels; ++i) {
                layer.taps_old[static_cast<size_t>(o * layer.in_channels + i)] = conv.get_tap_weight(0, o, i);
                layer.taps_new[static_cast<size_t>(o * layer.in_channels + i)] = conv.get_tap_weight(1, o, i);
            }
        }
        if (const BatchNorm* norm = block.batchnorm()) {
            layer.scale.assign(norm->scale().data(), norm->scale().data() + norm->scale().size());
            layer.loc.assign(norm->loc().data(), norm->loc().data() + norm->loc().size());
        }
        layer.activations = row_activations(block.activation(), layer.out_channels);
        layer.packet_activation = packet_form(*block.activation());
        // Room for the look-back and a run of pieces, so that the look-back is moved to the front
        // at most once every few pieces.
        const int64_t run = std::max<int64_t>(4 * kPiece, 2 * static_cast<int64_t>(layer.dilation));
        layer.columns = layer.dilation + run;
        layer.history.assign(static_cast<size_t>(layer.in_channels * layer.columns), 0.0f);
        layer.position = layer.dilation;
        _layers.push_back(std::move(layer));
    }
    const Eigen::MatrixXf& weight = head.weight();
    _head_weight.assign(weight.data(), weight.data() + weight.size());  // one output row
    _head_bias = head.bias()(0);
    _rows.assign(static_cast<size_t>(kRowGroup * kPiece), 0.0f);
    _sum.assign(static_cast<size_t>(kPiece), 0.0f);
}

void PlanarConvNet::reset() {
    for (Layer& layer : _layers) {
        std::fill(layer.history.begin(), layer.history.end(), 0.0f);
        layer.position = layer.dilation;
    }
}

void PlanarConvNet::process(const double* input, double* output, int num_frames) {
    for (int start = 0; start < num_frames; start += kPiece)
        _process_piece(input + start, output + start, std::min(kPiece, num_frames - start));
}

void PlanarConvNet::_make_room(Layer& layer, int frames) {
    if (layer.position + frames <= layer.columns) return;
    for (int i = 0; i < layer.in_channels; ++i) {
        float* row = layer.row(i);
        std::memmove(row, row + layer.position - layer.dilation, static_cast<size_t>(layer.dilation) * sizeof(float));
    }
    layer.position = layer.dilation;
}

namespace {

using Kind = PlanarConvNet::PacketActivation;

template <Kind K>
[[gnu::always_inline]] inline vec::Packet activate(const vec::Packet& x) {
    if constexpr (K == Kind::kTanh) {
        return vec::tanh(x);
    } else if constexpr (K == Kind::kHardtanh) {
        return vec::hardTanh(x);
    } else if constexpr (K == Kind::kReLU) {
        return vec::relu(x);  // NaN becomes 0, as in the activation object
    } else {
        return x;
    }
}

// Output channels first .. first + Rows - 1 of a layer over Packets packets of frames from frame t
// of the piece: bias, per input channel the older tap and then the newer one, the batch
// normalisation, and the activation when it has a packet form. Always inlined: the sums must stay
// in registers.
template <int Rows, int Packets, Kind K, class Layer>
[[gnu::always_inline]] inline void convolve(const Layer& layer, int first, int t, vec::Packet (&sum)[Rows][Packets]) {
    const int in = layer.in_channels;
    for (int r = 0; r < Rows; ++r)
        for (int p = 0; p < Packets; ++p) sum[r][p] = vec::broadcast(layer.bias[static_cast<size_t>(first + r)]);
    const float* current = layer.history.data() + layer.position + t;
    for (int i = 0; i < in; ++i, current += layer.columns) {
        const float* older = current - layer.dilation;
        vec::Packet x_old[Packets], x_new[Packets];
        for (int p = 0; p < Packets; ++p) {
            x_old[p] = vec::load(older + p * vec::kWidth);
            x_new[p] = vec::load(current + p * vec::kWidth);
        }
        for (int r = 0; r < Rows; ++r) {
            const auto at = static_cast<size_t>((first + r) * in + i);
            const vec::Packet w_old = vec::broadcast(layer.taps_old[at]);
            const vec::Packet w_new = vec::broadcast(layer.taps_new[at]);
            for (int p = 0; p < Packets; ++p) {
                sum[r][p] = vec::multiplyAdd(w_old, x_old[p], sum[r][p]);
                sum[r][p] = vec::multiplyAdd(w_new, x_new[p], sum[r][p]);
            }
        }
    }
    if (!layer.scale.empty()) {
        for (int r = 0; r < Rows; ++r) {
            const vec::Packet scale = vec::broadcast(layer.scale[static_cast<size_t>(first + r)]);
            const vec::Packet loc = vec::broadcast(layer.loc[static_cast<size_t>(first + r)]);
            for (int p = 0; p < Packets; ++p) sum[r][p] = vec::add(vec::multiply(sum[r][p], scale), loc);
        }
    }
    for (int r = 0; r < Rows; ++r)
        for (int p = 0; p < Packets; ++p) sum[r][p] = activate<K>(sum[r][p]);
}

constexpr int kChunk = kChunkPackets * vec::kWidth;

// Calls chunk.template operator()<Packets>(t) over `frames` frames: two packets at a time, then
// one. Each frame's arithmetic is the same in both.
template <class Chunk>
void for_each_chunk(int frames, Chunk&& chunk) {
    int t = 0;
    for (; t + kChunk <= frames; t += kChunk) chunk.template operator()<kChunkPackets>(t);
    for (; t < frames; t += vec::kWidth) chunk.template operator()<1>(t);
}

// Calls run.template operator()<Rows>(first) for groups of up to kRowGroup channels.
template <class Run>
void for_each_row_group(int channels, Run&& run) {
    int first = 0;
    for (; first + kRowGroup <= channels; first += kRowGroup) run.template operator()<kRowGroup>(first);
    switch (channels - first) {
        case 3: run.template operator()<3>(first); break;
        case 2: run.template operator()<2>(first); break;
        case 1: run.template operator()<1>(first); break;
        default: break;
    }
}

}  // namespace

// A layer whose output is the next layer's input: written straight into that layer's history.
template <Kind K>
void PlanarConvNet::_run_layer(size_t index, int frames) {
    const Layer& layer = _layers[index];
    Layer& next = _layers[index + 1];
    for_each_row_group(layer.out_channels, [&]<int Rows>(int first) {
        float* rows[Rows];
        for (int r = 0; r < Rows; ++r) rows[r] = next.row(first + r) + next.position;
        for_each_chunk(frames, [&]<int Packets>(int t) {
            vec::Packet sum[Rows][Packets];
            convolve<Rows, Packets, K>(layer, first, t, sum);
            for (int r = 0; r < Rows; ++r)
                for (int p = 0; p < Packets; ++p) vec::store(rows[r] + t + p * vec::kWidth, sum[r][p]);
        });
        if constexpr (K == Kind::kNone) _finish_rows_in_memory(layer, first, rows, Rows, frames, false);
    });
}

// The last layer and the head together, frame chunk by frame chunk, without storing the layer's
// output: the head sums the channels in their order.
template <Kind K>
void PlanarConvNet::_run_last_layer_fused(const Layer& layer, int frames) {
    for_each_chunk(frames, [&]<int Packets>(int t) {
        vec::Packet head[Packets];
        for (int p = 0; p < Packets; ++p) head[p] = vec::broadcast(_head_bias);
        for_each_row_group(layer.out_channels, [&]<int Rows>(int first) {
            vec::Packet sum[Rows][Packets];
            convolve<Rows, Packets, K>(layer, first, t, sum);
            for (int r = 0; r < Rows; ++r) {
                const vec::Packet w = vec::broadcast(_head_weight[static_cast<size_t>(first + r)]);
                for (int p = 0; p < Packets; ++p) head[p] = vec::multiplyAdd(w, sum[r][p], head[p]);
            }
        });
        for (int p = 0; p < Packets; ++p) vec::store(_sum.data() + t + p * vec::kWidth, head[p]);
    });
}

// Rows already in memory get their activation object, and for the last layer go into the head.
void PlanarConvNet::_finish_rows_in_memory(const Layer& layer, int first, float* const* rows, int count, int frames,
                                           bool last) {
    for (int r = 0; r < count; ++r) {
        const int channel = first + r;
        layer.activations[static_cast<size_t>(channel)]->apply(rows[r], frames);
        if (!last) continue;
        const vec::Packet w = vec::broadcast(_head_weight[static_cast<size_t>(channel)]);
        for (int t = 0; t < frames; t += vec::kWidth)
            vec::store(_sum.data() + t, vec::multiplyAdd(w, vec::load(rows[r] + t), vec::load(_sum.data() + t)));
    }
}

void PlanarConvNet::_process_piece(const double* input, double* output, int frames) {
    // Whole packets throughout: the frames past the piece are computed too (from finite values)
    // and overwritten by the next piece, which starts at the piece's true end.
    const int padded = padded_length(frames);
    for (Layer& layer : _layers) _make_room(layer, padded);
    float* x = _layers.front().row(0) + _layers.front().position;
    for (int t = 0; t < frames; ++t) x[t] = static_cast<float>(input[t]);
    std::fill(x + frames, x + padded, 0.0f);

    for (size_t b = 0; b + 1 < _layers.size(); ++b) {
        switch (_layers[b].packet_activation) {
            case Kind::kTanh: _run_layer<Kind::kTanh>(b, padded); break;
            case Kind::kHardtanh: _run_layer<Kind::kHardtanh>(b, padded); break;
            case Kind::kReLU: _run_layer<Kind::kReLU>(b, padded); break;
            case Kind::kNone: _run_layer<Kind::kNone>(b, padded); break;
        }
    }
    const Layer& last = _layers.back();
    switch (last.packet_activation) {
        case Kind::kTanh: _run_last_layer_fused<Kind::kTanh>(last, padded); break;
        case Kind::kHardtanh: _run_last_layer_fused<Kind::kHardtanh>(last, padded); break;
        case Kind::kReLU: _run_last_layer_fused<Kind::kReLU>(last, padded); break;
        case Kind::kNone: {
            std::fill(_sum.begin(), _sum.begin() + padded, _head_bias);
            for_each_row_group(last.out_channels, [&]<int Rows>(int first) {
                float* rows[Rows];
                for (int r = 0; r < Rows; ++r) rows[r] = _rows.data() + r * kPiece;
                for_each_chunk(padded, [&]<int Packets>(int t) {
                    vec::Packet sum[Rows][Packets];
                    convolve<Rows, Packets, Kind::kNone>(last, first, t, sum);
                    for (int r = 0; r < Rows; ++r)
                        for (int p = 0; p < Packets; ++p) vec::store(rows[r] + t + p * vec::kWidth, sum[r][p]);
                });
                _finish_rows_in_memory(last, first, rows, Rows, padded, true);
            });
            break;
        }
    }
    for (int t = 0; t < frames; ++t) output[t] = _sum[static_cast<size_t>(t)];
    for (Layer& layer : _layers) layer.position += frames;
}

}  // namespace nam::convnet
