// The VST3 entry the plug-ins export: DPF's own (compiled under another name, see
// CMakeLists.txt), whose objects restore a host's saved state with the C library's number reader
// held to the "C" locale. DPF writes the values with '.' but reads them back through the locale
// a host has set, so in a German host every fraction was cut at the point ("37.5" read as 37).
// DPF's objects carry their function tables inline, so the two state readers are replaced in
// each component and edit controller as it is made.

#include "platform/foundation/NumberText.h"
#include "platform/os/Log.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/factory.h"

#include <cstring>

extern "C" const void* tolvane_dpf_vst3_factory(void);

namespace {

using CreateInstance = v3_result(V3_API*)(void*, const v3_tuid, const v3_tuid, void**);
using ReadState = v3_result(V3_API*)(void*, v3_bstream**);

const OSLog& vst3Log() {
    static const OSLog log("com.marlowen.tolvane.plugin", "Vst3Entry");
    return log;
}

// DPF's functions are the same for every object of a kind: each is kept from the first object
// made, before that object's table is changed, and read back with no argument.
CreateInstance dpfCreateInstance(CreateInstance first = nullptr) {
    static const CreateInstance original = first;
    return original;
}
ReadState dpfComponentSetState(ReadState first = nullptr) {
    static const ReadState original = first;
    return original;
}
ReadState dpfControllerSetComponentState(ReadState first = nullptr) {
    static const ReadState original = first;
    return original;
}

v3_result readWithClassicNumbers(ReadState read, void* self, v3_bstream** stream) {
    const ScopedClassicNumbers numbers;
    if (!numbers.active()) vst3Log().error("cannot hold numbers to the C locale; the state reads in the host's");
    return read(self, stream);
}

v3_result V3_API componentSetState(void* self, v3_bstream** stream) {
    return readWithClassicNumbers(dpfComponentSetState(), self, stream);
}

v3_result V3_API controllerSetComponentState(void* self, v3_bstream** stream) {
    return readWithClassicNumbers(dpfControllerSetComponentState(), self, stream);
}

enum class ClassKind { component, controller, other };

ClassKind kindOfClass(void* factory, const v3_tuid classId) {
    auto** self = static_cast<v3_plugin_factory_cpp**>(factory);
    const int32_t count = (*self)->v1.num_classes(factory);
    for (int32_t i = 0; i < count; ++i) {
        v3_class_info info{};
        if ((*self)->v1.get_class_info(factory, i, &info) != V3_OK || !v3_tuid_match(info.class_id, classId)) continue;
        if (std::strcmp(info.category, "Audio Module Class") == 0) return ClassKind::component;
        if (std::strcmp(info.category, "Component Controller Class") == 0) return ClassKind::controller;
    }
    return ClassKind::other;
}

v3_result V3_API createInstance(void* factory, const v3_tuid classId, const v3_tuid iid, void** instance) {
    const v3_result result = dpfCreateInstance()(factory, classId, iid, instance);
    if (result != V3_OK || *instance == nullptr) return result;
    switch (kindOfClass(factory, classId)) {
        case ClassKind::component: {
            auto* component = *static_cast<v3_component_cpp**>(*instance);
            dpfComponentSetState(component->comp.set_state);
            component->comp.set_state = componentSetState;
            break;
        }
        case ClassKind::controller: {
            auto* controller = *static_cast<v3_edit_controller_cpp**>(*instance);
            dpfControllerSetComponentState(controller->ctrl.set_component_state);
            controller->ctrl.set_component_state = controllerSetComponentState;
            break;
        }
        case ClassKind::other:
            break;
    }
    return result;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const void* GetPluginFactory(void) {
    auto** factory = static_cast<v3_plugin_factory_cpp**>(const_cast<void*>(tolvane_dpf_vst3_factory()));
    if (factory == nullptr) return nullptr;
    dpfCreateInstance((*factory)->v1.create_instance);
    (*factory)->v1.create_instance = createInstance;
    return factory;
}
