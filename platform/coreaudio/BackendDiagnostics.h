#pragma once

// ALSA prints its own diagnostics on standard error while the audio backend looks for cards and
// for a sound server: a machine without a card gets a screenful of them on each look. What
// matters reaches the caller through the backend's own answers, so they are not printed. Call
// it before the backend touches ALSA; it holds for the whole process.
void silenceAlsaDiagnostics();
