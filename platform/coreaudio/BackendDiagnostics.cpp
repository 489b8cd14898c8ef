#include "platform/coreaudio/BackendDiagnostics.h"

#include <alsa/asoundlib.h>

namespace {

void ignoreAlsaDiagnostic(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

void silenceAlsaDiagnostics() { snd_lib_error_set_handler(&ignoreAlsaDiagnostic); }
