#pragma once

#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempFolder.h"

#include <sys/stat.h>

#include <filesystem>

namespace tolvane::test {

// A studio started from a test finds plug-ins, settings and its runtime folder in a scratch
// folder of its own and plays to the null output, whatever the machine has installed.
struct StudioSandbox {
    StudioSandbox() {
        std::filesystem::create_directories(plugins);
        std::filesystem::create_directories(runtime);
        chmod(runtime.c_str(), 0700);
    }

    TempFolder scratch;
    const std::filesystem::path plugins = scratch.file("lv2");
    const std::filesystem::path runtime = scratch.file("runtime");
    ScopedEnvironment lv2Path{"LV2_PATH", plugins.c_str()};
    ScopedEnvironment runtimeDir{"XDG_RUNTIME_DIR", runtime.c_str()};
    ScopedEnvironment configuration{"XDG_CONFIG_HOME", scratch.path().c_str()};
    ScopedEnvironment output{"TOLVANE_AUDIO_OUTPUT", "null"};
};

}  // namespace tolvane::test
