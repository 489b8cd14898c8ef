// The extension executable installed in each plug-in bundle: it serves the effect unit, made by
// the bundle's own code, to a host that runs the effect in a process of its own (the component
// system starts it; it is not run by hand). Its resources are the bundle's, found beside it.

#include "platform/audiotoolbox/remote/ExtensionService.h"
#include "plugin/TolvaneUnit.h"

int main(int argc, char** argv) {
    return remote::extensionMain(
        argc, argv, [](Error* error) { return tolvane::plugin::makeTolvaneUnit(error); }, {});
}
