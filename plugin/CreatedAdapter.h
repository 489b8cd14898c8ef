#pragma once

namespace tolvane::plugin {

class AudioUnitAdapter;

// Hands the adapter of a plug-in instance to the format glue that asked for its creation. DPF
// creates the instance deep inside its own glue and gives no way back to it; the CLAP glue needs
// the adapter for the parameter state it adds. The hand-over is bound to one creation on one
// thread: while a capture is alive on a thread, the adapter the plug-in entry offers on that
// thread lands in it; offers without a capture go nowhere.
class CreatedAdapterCapture {
public:
    CreatedAdapterCapture();
    ~CreatedAdapterCapture();
    CreatedAdapterCapture(const CreatedAdapterCapture&) = delete;
    CreatedAdapterCapture& operator=(const CreatedAdapterCapture&) = delete;

    AudioUnitAdapter* adapter() const { return adapter_; }

    // Called by the plug-in entry for every adapter it creates.
    static void offer(AudioUnitAdapter* adapter);

private:
    CreatedAdapterCapture* outer_;
    AudioUnitAdapter* adapter_ = nullptr;
};

}  // namespace tolvane::plugin
