// The test component's extension executable: the gain test unit served by the same extension
// code as the effect's. Built twice: without a view, and with a stand-in view that reports what
// happens to it through the unit's contextName (which travels back to the host).

#include "platform/audiotoolbox/remote/ExtensionService.h"
#include "tests/platform/remote/GainTestUnit.h"

#include <string>

namespace {

class StandInViewHost : public remote::ExtensionViewHost {
public:
    std::optional<CGSize> preferredSize(const std::shared_ptr<AUAudioUnit>&) override { return CGSize{300, 200}; }

    std::optional<uint64_t> embed(const std::shared_ptr<AUAudioUnit>& unit, uint64_t parent, Error* error) override {
        if (parent == 0) {
            setError(error, "StandInView", -1, "no parent window");
            return std::nullopt;
        }
        unit_ = unit;
        unit->setContextName("embedded in " + std::to_string(parent));
        return parent + 1000;
    }

    void remove() override {
        if (unit_) unit_->setContextName(std::string("removed"));
    }

    void idle() override {}

private:
    std::shared_ptr<AUAudioUnit> unit_;
};

}  // namespace

int main(int argc, char** argv) {
    return remote::extensionMain(
        argc, argv, [](Error*) -> std::shared_ptr<AUAudioUnit> { return tolvane::test::GainTestUnit::make(); },
        [] {
#ifdef TOLVANE_WITH_VIEW
            return std::unique_ptr<remote::ExtensionViewHost>(new StandInViewHost());
#else
            return std::unique_ptr<remote::ExtensionViewHost>();
#endif
        });
}
