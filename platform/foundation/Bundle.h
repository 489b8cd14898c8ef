#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// A directory of resources that ships with a binary. Plug-in bundles keep their resource files
// in a "resources" folder beside the loaded binary (or "../Resources" for bundle layouts that put
// binaries one level down); tests make bundles from any directory.
class Bundle {
public:
    // A bundle whose resources are the files directly inside `resourceDirectory`.
    explicit Bundle(std::filesystem::path resourceDirectory);

    // The bundle of the binary (executable or shared object) that contains `address`: the first of
    // <binary dir>/resources and <binary dir>/../Resources that exists, else <binary dir> itself.
    static Bundle containingAddress(const void* address);

    const std::filesystem::path& resourcePath() const { return resourcePath_; }

    // The path of "<name>.<extension>" among the resources, or nothing when there is no such file.
    std::optional<std::filesystem::path> URLForResource(std::string_view name, std::string_view extension) const;

    // A string value of the bundle's information dictionary ("Info.json" among the resources: one
    // JSON object); none when the file, the key or a string value under it is missing. The file is
    // read without waiting and only when it is a regular file of at most 64 KiB; any other reads
    // as missing, with a line on standard error naming it.
    std::optional<std::string> objectForInfoDictionaryKey(std::string_view key) const;

private:
    std::filesystem::path resourcePath_;
};
