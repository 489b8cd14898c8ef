#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace tolvane::test {

// A scratch folder of its own under the system's temporary folder, removed with everything in
// it. mkdtemp makes each name unique, so parallel test processes never share one.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path file(const std::string& name) const { return path_ / name; }

    // Writes `text` byte for byte as `name` and returns the file's path.
    std::filesystem::path write(const std::string& name, const std::string& text) const {
        const auto at = file(name);
        std::ofstream(at, std::ios::binary) << text;
        return at;
    }
    void remove(const std::string& name) const { std::filesystem::remove(file(name)); }

private:
    std::filesystem::path path_;
};

}  // namespace tolvane::test
