#pragma once

// A VST3 host's side of a component's state calls: the loaded binary, a memory stream, and the
// parameter values in a saved state.

#include "travesty/bstream.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/factory.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace tolvane::test {

// A loaded plug-in binary, closed again at the end of the test.
class Library {
public:
    explicit Library(const std::filesystem::path& path) : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle_ != nullptr) dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    void* handle() const { return handle_; }
    void* symbol(const char* name) const { return handle_ != nullptr ? dlsym(handle_, name) : nullptr; }

private:
    void* handle_;
};

// A memory stream as VST3 hosts hand them to a component's state calls.
class Vst3MemoryStream {
public:
    explicit Vst3MemoryStream(std::string bytes = {}) : bytes_(std::move(bytes)) {}
    v3_bstream** stream() { return reinterpret_cast<v3_bstream**>(this); }
    const std::string& bytes() const { return bytes_; }

private:
    struct Vtable {
        v3_funknown unknown;
        v3_bstream stream;
    };
    static Vst3MemoryStream& of(void* self) { return *static_cast<Vst3MemoryStream*>(self); }
    static const Vtable kVtable;

    const Vtable* vtable_ = &kVtable;  // first: the object is a pointer to its interface
    std::string bytes_;
    std::size_t at_ = 0;
};

inline const Vst3MemoryStream::Vtable Vst3MemoryStream::kVtable = {
    {[](void*, const v3_tuid, void** obj) -> v3_result {
         *obj = nullptr;
         return V3_NO_INTERFACE;
     },
     [](void*) -> uint32_t { return 1; }, [](void*) -> uint32_t { return 1; }},
    {[](void* self, void* buffer, int32_t size, int32_t* read) -> v3_result {
         Vst3MemoryStream& s = of(self);
         const auto n = static_cast<int32_t>(std::min<std::size_t>(static_cast<std::size_t>(size), s.bytes_.size() - s.at_));
         std::memcpy(buffer, s.bytes_.data() + s.at_, static_cast<std::size_t>(n));
         s.at_ += static_cast<std::size_t>(n);
         if (read) *read = n;
         return V3_OK;
     },
     [](void* self, void* buffer, int32_t size, int32_t* written) -> v3_result {
         of(self).bytes_.append(static_cast<const char*>(buffer), static_cast<std::size_t>(size));
         if (written) *written = size;
         return V3_OK;
     },
     [](void* self, int64_t pos, int32_t mode, int64_t* result) -> v3_result {
         Vst3MemoryStream& s = of(self);
         const int64_t base = mode == V3_SEEK_SET ? 0 : mode == V3_SEEK_CUR ? static_cast<int64_t>(s.at_) : static_cast<int64_t>(s.bytes_.size());
         s.at_ = static_cast<std::size_t>(std::clamp<int64_t>(base + pos, 0, static_cast<int64_t>(s.bytes_.size())));
         if (result) *result = static_cast<int64_t>(s.at_);
         return V3_OK;
     },
     [](void* self, int64_t* pos) -> v3_result {
         *pos = static_cast<int64_t>(of(self).at_);
         return V3_OK;
     }}};

// The parameter values in a DPF VST3 state: symbol, value, symbol, value, between its markers,
// each field ended by a zero byte.
inline std::map<std::string, std::string> parametersInVst3State(const std::string& state) {
    const std::string begin = std::string("__dpf_parameters_begin__") + '\0', end = "__dpf_parameters_end__";
    const auto from = state.find(begin), to = state.find(end);
    if (from == std::string::npos || to == std::string::npos) return {};
    std::map<std::string, std::string> values;
    std::istringstream fields(state.substr(from + begin.size(), to - from - begin.size()));
    for (std::string symbol, value; std::getline(fields, symbol, '\0') && std::getline(fields, value, '\0');)
        values[symbol] = value;
    return values;
}

// The stereo VST3 binary as a host uses it for sessions: loaded and entered, with components
// made from its first class; everything is released and the module left at the end.
class Vst3Components {
public:
    Vst3Components() : library_(std::filesystem::path(TOLVANE_VST3_DIR) / "tolvane.vst3" / "Contents" / "x86_64-linux" / "tolvane.so") {
        if (library_.handle() == nullptr) {
            ADD_FAILURE() << dlerror();
            return;
        }
        if (!reinterpret_cast<bool (*)(void*)>(library_.symbol("ModuleEntry"))(library_.handle())) {
            ADD_FAILURE() << "ModuleEntry refused";
            return;
        }
        entered_ = true;
        factory_ = static_cast<v3_plugin_factory_cpp**>(reinterpret_cast<void* (*)()>(library_.symbol("GetPluginFactory"))());
        EXPECT_EQ((*factory_)->v1.get_class_info(factory_, 0, &info_), V3_OK);
    }
    ~Vst3Components() {
        for (auto** component : components_) {
            (*component)->base.terminate(component);
            (*component)->unref(component);
        }
        for (auto** controller : controllers_) {
            (*controller)->base.terminate(controller);
            (*controller)->unref(controller);
        }
        if (factory_ != nullptr) (*factory_)->unref(factory_);
        if (entered_) {
            EXPECT_TRUE(reinterpret_cast<bool (*)()>(library_.symbol("ModuleExit"))());
        }
    }
    Vst3Components(const Vst3Components&) = delete;
    Vst3Components& operator=(const Vst3Components&) = delete;

    bool loaded() const { return factory_ != nullptr; }

    // A fresh, initialised component.
    v3_component_cpp** make() {
        v3_component_cpp** component = nullptr;
        EXPECT_EQ((*factory_)->v1.create_instance(factory_, info_.class_id, v3_component_iid, reinterpret_cast<void**>(&component)), V3_OK);
        EXPECT_EQ((*component)->base.initialize(component, nullptr), V3_OK);
        components_.push_back(component);
        return component;
    }

    // A fresh, initialised edit controller: the plug-ins' second class, apart from the component.
    v3_edit_controller_cpp** makeController() {
        v3_class_info info{};
        EXPECT_EQ((*factory_)->v1.get_class_info(factory_, 1, &info), V3_OK);
        v3_edit_controller_cpp** controller = nullptr;
        EXPECT_EQ((*factory_)->v1.create_instance(factory_, info.class_id, v3_edit_controller_iid, reinterpret_cast<void**>(&controller)), V3_OK);
        EXPECT_EQ((*controller)->base.initialize(controller, nullptr), V3_OK);
        controllers_.push_back(controller);
        return controller;
    }

    // Every parameter's value as the controller shows it to the host, in the parameter's own unit.
    static std::vector<double> plainValues(v3_edit_controller_cpp** controller) {
        std::vector<double> values;
        for (int32_t i = 0, count = (*controller)->ctrl.get_parameter_count(controller); i < count; ++i) {
            v3_param_info info{};
            EXPECT_EQ((*controller)->ctrl.get_parameter_info(controller, i, &info), V3_OK);
            const double normalised = (*controller)->ctrl.get_parameter_normalised(controller, info.param_id);
            values.push_back((*controller)->ctrl.normalised_parameter_to_plain(controller, info.param_id, normalised));
        }
        return values;
    }

    static std::string stateOf(v3_component_cpp** component) {
        Vst3MemoryStream saved;
        EXPECT_EQ((*component)->comp.get_state(component, saved.stream()), V3_OK);
        return saved.bytes();
    }

    static void setState(v3_component_cpp** component, std::string bytes) {
        Vst3MemoryStream input(std::move(bytes));
        EXPECT_EQ((*component)->comp.set_state(component, input.stream()), V3_OK);
    }

private:
    Library library_;
    bool entered_ = false;
    v3_plugin_factory_cpp** factory_ = nullptr;
    v3_class_info info_{};
    std::vector<v3_component_cpp**> components_;
    std::vector<v3_edit_controller_cpp**> controllers_;
};

// `state` with its parameter values replaced by `values` (symbol, text).
inline std::string withParameters(const std::string& state, const std::map<std::string, std::string>& values) {
    const char end = '\0';
    std::string changed = state.substr(0, state.find("__dpf_parameters_begin__")) + "__dpf_parameters_begin__" + end;
    for (const auto& [symbol, value] : values) changed += symbol + end + value + end;
    return changed + state.substr(state.find("__dpf_parameters_end__"));  // the end marker and the terminator
}

}  // namespace tolvane::test
