// The extension executable installed in each plug-in bundle: it serves the effect unit, made by
// the bundle's own code, to a host that runs the effect in a process of its own (the component
// system starts it; it is not run by hand), and shows the effect's panel inside the host's
// window. Its resources are the bundle's, found beside it.

#include "platform/audiotoolbox/remote/ExtensionService.h"
#include "plugin/TolvaneUnit.h"
#include "studio/extension/PanelViewHost.h"

int main(int argc, char** argv) {
    return remote::extensionMain(
        argc, argv, [](Error* error) { return tolvane::plugin::makeTolvaneUnit(error); },
        [] { return std::unique_ptr<remote::ExtensionViewHost>(new tolvane::studio::PanelViewHost()); });
}
