#pragma once

#include "platform/audiotoolbox/AUAudioUnit.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

// The messages between a host and the extension process that serves a unit. Every message is
// a JSON object with an "op"; requests carry an "id" that their reply repeats.
//
// extension -> host
//   welcome   the unit as it stands: names, buses, parameter tree with values, contextName, ...
//   set       a parameter value changed in the extension {address, value, event}
//   values    every parameter value may have changed {values: [[address, value], ...]}
//   context   the unit's contextName changed {name}
//   reply     the answer to a request {id, ...}
//   pong      the answer to a ping {id}
// host -> extension
//   set       a value set through the host's tree {address, value, event}
//   context   contextName set by the host {name}
//   allocate  formats, maximum frames and the render channel's descriptor -> reply {ok, error,
//             latency, tailTime}
//   deallocate
//   view      does the unit have a view here? -> reply {available, width, height}
//   embed     show the view inside the host's window {parent} -> reply {ok, window, error}
//   unembed   take the view down -> reply {ok} once it is down (to a request with an id)
//   ping      -> pong
namespace remote {

inline constexpr int kProtocolVersion = 1;

namespace op {
inline constexpr std::string_view welcome = "welcome";
inline constexpr std::string_view set = "set";
inline constexpr std::string_view values = "values";
inline constexpr std::string_view context = "context";
inline constexpr std::string_view reply = "reply";
inline constexpr std::string_view ping = "ping";
inline constexpr std::string_view pong = "pong";
inline constexpr std::string_view allocate = "allocate";
inline constexpr std::string_view deallocate = "deallocate";
inline constexpr std::string_view view = "view";
inline constexpr std::string_view embed = "embed";
inline constexpr std::string_view unembed = "unembed";
}  // namespace op

// Thrown while handling a message that cannot be taken as it is (a number out of range, say):
// the other side does not speak the protocol, and the connection ends.
class MalformedMessage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A JSON number as T exactly: nothing when it is not a number or T cannot hold it (out of range,
// or a fraction for a whole-number T). The other side is another program; a plain conversion
// of such a value would wrap or be undefined.
template <class T>
std::optional<T> exactNumber(const nlohmann::json& value) {
    if (value.is_number_unsigned()) {
        const auto whole = value.get<uint64_t>();
        if constexpr (std::is_integral_v<T>) return std::in_range<T>(whole) ? std::optional<T>(static_cast<T>(whole)) : std::nullopt;
        else return static_cast<T>(whole);
    }
    if (value.is_number_integer()) {
        const auto whole = value.get<int64_t>();
        if constexpr (std::is_integral_v<T>) return std::in_range<T>(whole) ? std::optional<T>(static_cast<T>(whole)) : std::nullopt;
        else return static_cast<T>(whole);
    }
    if (!value.is_number_float()) return std::nullopt;
    const double real = value.get<double>();
    if (!std::isfinite(real)) return std::nullopt;
    if constexpr (std::is_integral_v<T>) {
        // 2^digits is exact in a double, and the first whole number past T's largest.
        const double end = std::ldexp(1.0, std::numeric_limits<T>::digits);
        if (real != std::trunc(real) || real < static_cast<double>(std::numeric_limits<T>::min()) || real >= end)
            return std::nullopt;
        return static_cast<T>(real);
    } else {
        if (std::fabs(real) > static_cast<double>(std::numeric_limits<T>::max())) return std::nullopt;
        return static_cast<T>(real);
    }
}

// The op of a message, or an empty text for anything that is not a message.
std::string opOf(const nlohmann::json& message);

nlohmann::json encodeParameterTree(const AUParameterTree& tree);
// A tree with the same nodes, names, ranges, flags and values. Nothing (with the reason) for a
// description that is not one.
std::shared_ptr<AUParameterTree> decodeParameterTree(const nlohmann::json& nodes, Error* error);

nlohmann::json encodeFormat(const AVAudioFormat& format);
std::optional<AVAudioFormat> decodeFormat(const nlohmann::json& json);

// A bus array as {format, supported channel counts} records.
nlohmann::json encodeBuses(AUAudioUnitBusArray* buses);
struct BusDescription {
    AVAudioFormat format;
    std::vector<uint32_t> supportedChannelCounts;
};
std::optional<std::vector<BusDescription>> decodeBuses(const nlohmann::json& json);

nlohmann::json encodeError(const Error& error);
Error decodeError(const nlohmann::json& json);

// A "set" message, both ways.
nlohmann::json encodeValueChange(AUParameterAddress address, AUValue value, AUParameterAutomationEventType type);
// Its event type; anything unknown reads as a plain value change.
AUParameterAutomationEventType decodeEventType(const nlohmann::json& message);

nlohmann::json encodeContextName(const std::optional<std::string>& name);
std::optional<std::string> decodeContextName(const nlohmann::json& json);

}  // namespace remote
