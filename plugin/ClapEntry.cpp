// The CLAP entry the plug-ins export: DPF's own (compiled under another name, see
// CMakeLists.txt), with two things added from our side.
// - A state extension. DPF offers CLAP state only together with its own state machinery, which
//   would change the LV2 and VST3 plug-ins as well; this one stores every parameter by symbol.
// - A latency extension for hosts that have none. DPF's glue reports a latency change through the
//   host's latency extension without checking that the host offers one, which crashes such a
//   host on deactivation; the glue here sees a host that always has it.

#include "clap/entry.h"
#include "clap/ext/latency.h"
#include "clap/ext/params.h"
#include "clap/ext/state.h"
#include "clap/plugin-factory.h"
#include "platform/os/Log.h"
#include "plugin/CreatedAdapter.h"
#include "plugin/ParameterState.h"

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

extern "C" const clap_plugin_entry_t tolvane_dpf_clap_entry;

namespace {

using tolvane::plugin::AudioUnitAdapter;

const clap_plugin_factory_t* dpfFactory() {
    return static_cast<const clap_plugin_factory_t*>(tolvane_dpf_clap_entry.get_factory(CLAP_PLUGIN_FACTORY_ID));
}

const OSLog& clapLog() {
    static const OSLog log("com.marlowen.tolvane.plugin", "ClapEntry");
    return log;
}

// ---- The host as DPF's glue sees it --------------------------------------------------------

const clap_host_latency_t kLatencyNotHeard = {[](const clap_host_t*) {}};

// The real host, plus a latency extension that hears nothing when the real host has none.
// DPF's glue calls the real host's extensions with this copy, and a host finds its own object
// through host_data, so the copy keeps the real host's; the shim is found from the copy's address.
class HostShim {
public:
    explicit HostShim(const clap_host_t* real) : host_(*real), real_(real) {
        host_.get_extension = getExtension;
        host_.request_restart = [](const clap_host_t* h) { forward(h, &clap_host_t::request_restart); };
        host_.request_process = [](const clap_host_t* h) { forward(h, &clap_host_t::request_process); };
        host_.request_callback = [](const clap_host_t* h) { forward(h, &clap_host_t::request_callback); };
    }
    HostShim(const HostShim&) = delete;
    HostShim& operator=(const HostShim&) = delete;

    const clap_host_t* host() const { return &host_; }
    const clap_host_t* real() const { return real_; }

    template <class Extension>
    const Extension* realExtension(const char* id) const {
        return real_->get_extension ? static_cast<const Extension*>(real_->get_extension(real_, id)) : nullptr;
    }

private:
    static const HostShim& of(const clap_host_t* host) {
        static_assert(std::is_standard_layout_v<HostShim>, "the copy of the host must lead back to its HostShim");
        return *reinterpret_cast<const HostShim*>(host);
    }

    static const void* getExtension(const clap_host_t* host, const char* id) {
        const void* extension = of(host).realExtension<void>(id);
        if (extension == nullptr && std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &kLatencyNotHeard;
        return extension;
    }

    static void forward(const clap_host_t* host, void (*clap_host_t::*request)(const clap_host_t*)) {
        const clap_host_t* real = of(host).real_;
        if (real->*request) (real->*request)(real);
    }

    clap_host_t host_;  // first, so that its address is the shim's
    const clap_host_t* real_;
};

// ---- The plug-in as the host sees it ---------------------------------------------------------

// DPF's plug-in behind our own clap_plugin_t, so that we can add the state extension. The host
// hands our clap_plugin_t to DPF's extensions too, and they find their instance through its
// plugin_data, so that stays DPF's; ours is the structure our clap_plugin_t begins.
struct PluginShim {
    clap_plugin_t plugin{};
    const clap_plugin_t* dpf = nullptr;
    AudioUnitAdapter* adapter = nullptr;  // owned by DPF's plug-in; null if it could not be found
    std::unique_ptr<HostShim> host;

    static PluginShim& of(const clap_plugin_t* plugin) {
        return *reinterpret_cast<PluginShim*>(const_cast<clap_plugin_t*>(plugin));
    }
    static const clap_plugin_t* dpfOf(const clap_plugin_t* plugin) { return of(plugin).dpf; }
};
static_assert(std::is_standard_layout_v<PluginShim>, "a clap_plugin_t pointer must lead back to its PluginShim");

bool writeAll(const clap_ostream_t* stream, const std::string& bytes) {
    for (std::size_t written = 0; written < bytes.size();) {
        const int64_t n = stream->write(stream, bytes.data() + written, bytes.size() - written);
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(const clap_istream_t* stream, std::string& bytes) {
    char chunk[4096];
    for (;;) {
        const int64_t n = stream->read(stream, chunk, sizeof chunk);
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() > tolvane::plugin::kLargestParameterState) return false;  // refuse, do not grow
    }
}

bool saveState(const clap_plugin_t* plugin, const clap_ostream_t* stream) {
    return writeAll(stream, tolvane::plugin::saveParameterState(*PluginShim::of(plugin).adapter));
}

bool loadState(const clap_plugin_t* plugin, const clap_istream_t* stream) {
    PluginShim& shim = PluginShim::of(plugin);
    std::string document;
    if (!readAll(stream, document)) {
        clapLog().error("cannot read the state the host handed over");
        return false;
    }
    Error error;
    if (!tolvane::plugin::loadParameterState(*shim.adapter, document, &error)) {
        clapLog().error("cannot load the state: " + error.description());
        return false;
    }
    // State is loaded on the main thread, where the host may be told to read the values again.
    if (const auto* params = shim.host->realExtension<clap_host_params_t>(CLAP_EXT_PARAMS))
        params->rescan(shim.host->real(), CLAP_PARAM_RESCAN_VALUES);
    return true;
}

const clap_plugin_state_t kState = {saveState, loadState};

const void* getExtension(const clap_plugin_t* plugin, const char* id) {
    if (std::strcmp(id, CLAP_EXT_STATE) == 0) return PluginShim::of(plugin).adapter != nullptr ? &kState : nullptr;
    const clap_plugin_t* dpf = PluginShim::dpfOf(plugin);
    return dpf->get_extension(dpf, id);
}

void destroy(const clap_plugin_t* plugin) {
    std::unique_ptr<PluginShim> shim(&PluginShim::of(plugin));
    shim->dpf->destroy(shim->dpf);
}

clap_plugin_t forwardingPlugin(PluginShim& shim) {
    return {
        shim.dpf->desc,
        shim.dpf->plugin_data,
        [](const clap_plugin_t* p) { return PluginShim::dpfOf(p)->init(PluginShim::dpfOf(p)); },
        destroy,
        [](const clap_plugin_t* p, double rate, uint32_t minFrames, uint32_t maxFrames) {
            return PluginShim::dpfOf(p)->activate(PluginShim::dpfOf(p), rate, minFrames, maxFrames);
        },
        [](const clap_plugin_t* p) { PluginShim::dpfOf(p)->deactivate(PluginShim::dpfOf(p)); },
        [](const clap_plugin_t* p) { return PluginShim::dpfOf(p)->start_processing(PluginShim::dpfOf(p)); },
        [](const clap_plugin_t* p) { PluginShim::dpfOf(p)->stop_processing(PluginShim::dpfOf(p)); },
        [](const clap_plugin_t* p) { PluginShim::dpfOf(p)->reset(PluginShim::dpfOf(p)); },
        [](const clap_plugin_t* p, const clap_process_t* process) {
            return PluginShim::dpfOf(p)->process(PluginShim::dpfOf(p), process);
        },
        getExtension,
        [](const clap_plugin_t* p) { PluginShim::dpfOf(p)->on_main_thread(PluginShim::dpfOf(p)); },
    };
}

const clap_plugin_t* createPlugin(const clap_plugin_factory_t*, const clap_host_t* host, const char* id) {
    if (host == nullptr) return nullptr;
    auto shim = std::make_unique<PluginShim>();
    shim->host = std::make_unique<HostShim>(host);
    tolvane::plugin::CreatedAdapterCapture capture;
    shim->dpf = dpfFactory()->create_plugin(dpfFactory(), shim->host->host(), id);
    if (shim->dpf == nullptr) return nullptr;
    shim->adapter = capture.adapter();
    shim->plugin = forwardingPlugin(*shim);
    return &shim.release()->plugin;
}

const clap_plugin_factory_t kFactory = {
    [](const clap_plugin_factory_t*) { return dpfFactory()->get_plugin_count(dpfFactory()); },
    [](const clap_plugin_factory_t*, uint32_t index) { return dpfFactory()->get_plugin_descriptor(dpfFactory(), index); },
    createPlugin,
};

}  // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {
    CLAP_VERSION,
    [](const char* path) { return tolvane_dpf_clap_entry.init(path); },
    [] { tolvane_dpf_clap_entry.deinit(); },
    [](const char* id) -> const void* {
        return std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : tolvane_dpf_clap_entry.get_factory(id);
    },
};
