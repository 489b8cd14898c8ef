#pragma once

#include <cstdint>
#include <vector>

#include "neural/nam/activations.h"

namespace nam::convnet {

class ConvNetBlock;
class _Head;

// The ConvNet of a model with one input, one output and ungrouped convolutions, run on planar
// signals: each channel's frames lie next to each other, so every multiply-add and activation
// runs across a packet of frames, with no matrix packing and no clearing of whole blocks.
//
// A block is processed in pieces of at most kPiece frames through every layer, so the working set
// stays in the first-level cache whatever the host's block size, and the memory is fixed when
// the model is built: each layer keeps only its look-back and a run of kPiece-sized pieces. Every
// frame goes through the same operations wherever a block starts or ends.
class PlanarConvNet {
public:
    static constexpr int kPiece = 256;

    static bool supports(int in_channels, int out_channels, int groups) {
        return in_channels == 1 && out_channels == 1 && groups == 1;
    }
    // Copies the weights of built blocks and head.
    PlanarConvNet(const std::vector<ConvNetBlock>& blocks, const _Head& head);

    // Every history back to silence.
    void reset();
    // Real-time safe: allocates nothing.
    void process(const double* input, double* output, int num_frames);

    // Activations applied packet by packet inside the layer loop; any other goes through the
    // activation object, a row at a time.
    enum class PacketActivation { kNone, kTanh, kHardtanh, kReLU };

private:
    struct Layer {
        int in_channels = 0;
        int out_channels = 0;
        int dilation = 0;
        std::vector<float> taps_old;  // out x in, row by row: the tap on the frame `dilation` back
        std::vector<float> taps_new;  // out x in: the tap on the current frame
        std::vector<float> bias;      // per output channel; 0 with batch normalisation
        std::vector<float> scale;     // batch normalisation per output channel; empty without
        std::vector<float> loc;
        std::vector<activations::Activation::Ptr> activations;  // per output channel
        PacketActivation packet_activation = PacketActivation::kNone;
        // The layer's input: in_channels rows of `columns` frames; the current piece starts at
        // `position`, and the `dilation` frames before it are the look-back.
        std::vector<float> history;
        int64_t columns = 0;
        int64_t position = 0;

        float* row(int channel) { return history.data() + channel * columns; }
    };

    void _process_piece(const double* input, double* output, int frames);
    static void _make_room(Layer& layer, int frames);
    template <PacketActivation Kind>
    void _run_layer(size_t index, int frames);
    template <PacketActivation Kind>
    void _run_last_layer_fused(const Layer& layer, int frames);
    void _finish_rows_in_memory(const Layer& layer, int first, float* const* rows, int count, int frames, bool last);

    std::vector<Layer> _layers;
    std::vector<float> _head_weight;
    float _head_bias = 0.0f;
    std::vector<float> _rows;  // the last layer's output, a group of rows at a time
    std::vector<float> _sum;   // the head's output for the current piece
};

}  // namespace nam::convnet
