// The test component's extension executable: the gain test unit served by the same extension
// code as the effect's.

#include "platform/audiotoolbox/remote/ExtensionService.h"
#include "tests/platform/remote/GainTestUnit.h"

int main(int argc, char** argv) {
    return remote::extensionMain(
        argc, argv, [](Error*) -> std::shared_ptr<AUAudioUnit> { return tolvane::test::GainTestUnit::make(); }, {});
}
