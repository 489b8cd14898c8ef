// Built as its own binary that never names any architecture's symbols: the registrations must
// still be linked in, so that loading a file of a registered architecture works.

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "neural/nam/get_dsp.h"
#include "neural/nam/registry.h"

namespace {

TEST(NamRegistration, ArchitecturesAreRegisteredWithoutBeingNamed) {
    const auto names = nam::ConfigParserRegistry::instance().names();
    EXPECT_NE(std::find(names.begin(), names.end(), "Linear"), names.end());

    const nlohmann::json file = {{"version", "0.5.0"},
                                 {"architecture", "Linear"},
                                 {"config", {{"receptive_field", 2}, {"bias", false}}},
                                 {"weights", {0.5, 0.25}}};
    auto model = nam::get_dsp(file);
    ASSERT_NE(model, nullptr);
    std::vector<double> x = {1.0, 0.0, 0.0}, y(3);
    double* in = x.data();
    double* out = y.data();
    model->process(&in, &out, 3);
    EXPECT_EQ(y, (std::vector<double>{0.5, 0.25, 0.0}));
}

}  // namespace
