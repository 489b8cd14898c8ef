#include "neural/nam/model_file.h"

#include "platform/foundation/JSONReading.h"

#include <sstream>
#include <stdexcept>
#include <utility>

namespace nam {

nlohmann::json parse_model_text(std::string text, const std::filesystem::path& file) {
    // The scan covers the whole text, so deep brackets after the value refuse the file too: no
    // model has them.
    if (scanJSONText(text).tooDeep)
        throw std::runtime_error("Model file " + file.string() + " nests deeper than " +
                                 std::to_string(kMaxJSONNesting) + " levels");
    // The stream takes the text without a copy, and reading from it stops after the first value.
    std::istringstream stream(std::move(text));
    nlohmann::json value;
    stream >> value;
    return value;
}

}  // namespace nam
