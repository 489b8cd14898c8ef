#include "effect/PlayerResets.h"

#include "effect/Kessrin_VinylExtensionAudioUnit.h"
#include "neural/NAMPlayer.h"

#include <algorithm>
#include <array>
#include <climits>

namespace {

template <std::size_t N>
void resetMarked(std::array<ResourceSlot<NAMPlayer>, N>& slots, std::atomic<uint32_t>& slotMarks, double sampleRate) {
    const uint32_t marked = slotMarks.load(std::memory_order_seq_cst);
    for (std::size_t i = 0; i < N; ++i) {
        if (!playerresets::isMarked(marked, i)) continue;
        NAMPlayer* player = slots[i].get();
        if (player != nullptr && player->maxFrames() > 0)
            player->resetWithSampleRate(sampleRate, static_cast<int32_t>(std::min<int64_t>(player->maxFrames(), INT32_MAX)));
        slotMarks.fetch_and(~(1u << i), std::memory_order_seq_cst);
    }
}

}  // namespace

void resetMarkedPlayers(Kessrin_VinylExtensionAudioUnit& unit) {
    // Cleared first: a player marked from here on gets a reset queued of its own.
    unit.renderState->playerResetQueued.store(false, std::memory_order_seq_cst);
    const auto sampleRate = static_cast<double>(unit.renderSampleRate);
    for (RenderState* s : {unit.renderState.get(), unit.loFiRightState.get()})
        resetMarked(s->lofiBitPlayers, s->lofiBitPlayerResets, sampleRate);
    for (RenderState* s : {unit.renderState.get(), unit.filterRightState.get()})
        resetMarked(s->drivePlayers, s->drivePlayerResets, sampleRate);
}
