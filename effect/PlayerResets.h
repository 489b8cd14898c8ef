#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

class Kessrin_VinylExtensionAudioUnit;

// A NAM player whose output went non-finite may hold non-finite state, so it is reset. Its reset
// allocates and cannot run on the render thread, so the stage marks the player's slot in the
// render state and leaves the player alone from then on (its output counts as non-finite); the
// render block queues resetMarkedPlayers on the model-load queue, which resets every marked
// player and then clears its mark. The mark hands the player over: the render's last call into it
// happens before the mark, the reset before the mark is cleared.
namespace playerresets {

inline bool isMarked(uint32_t marks, std::size_t slot) noexcept { return (marks >> slot) & 1u; }

// Render thread, once per block: the marks as the stage sees them for the whole block.
inline uint32_t marks(const std::atomic<uint32_t>& slotMarks) noexcept {
    return slotMarks.load(std::memory_order_acquire);
}

inline void mark(std::atomic<uint32_t>& slotMarks, std::size_t slot) noexcept {
    slotMarks.fetch_or(1u << slot, std::memory_order_seq_cst);
}

}  // namespace playerresets

// Model-load queue only: resets the marked LO-FI and FILLDRIVE players of both channels at the
// render sample rate and their current block size, and clears their marks.
void resetMarkedPlayers(Kessrin_VinylExtensionAudioUnit& unit);
