#include "plugin/CreatedAdapter.h"

namespace tolvane::plugin {

namespace {
// The innermost capture alive on this thread.
thread_local CreatedAdapterCapture* currentCapture = nullptr;
}  // namespace

CreatedAdapterCapture::CreatedAdapterCapture() : outer_(currentCapture) { currentCapture = this; }

CreatedAdapterCapture::~CreatedAdapterCapture() { currentCapture = outer_; }

void CreatedAdapterCapture::offer(AudioUnitAdapter* adapter) {
    if (currentCapture != nullptr) currentCapture->adapter_ = adapter;
}

}  // namespace tolvane::plugin
