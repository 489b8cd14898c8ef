// A stand-in extension that says exactly what a test tells it to, wrong or not:
//   scripted-extension --serve-fd N [--deep LEVELS] [--send TEXT]... [--reply TEXT] [--ignore OP]...
//                      [--slow OP]... [--hold OP]... [--echo OP]...
// sends each TEXT as one message, byte for byte, then answers pings and, when given a reply,
// every request with that reply (its "id" set to the request's unless the reply has one). With
// --deep, the string "DEEP" in a TEXT or the reply stands for arrays nested LEVELS deep (too
// long for an argument).
// Requests whose op is ignored (pings too) go unanswered, as by a process whose main thread is
// stuck; those whose op is slow are answered after 1.5 s, during which nothing else is; those
// whose op is held are answered when the host next sends a context name, and not before. Each
// message whose op is echoed is told back as the context name "got OP". It leaves when the host
// does.

#include "platform/audiotoolbox/remote/MessageSocket.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/socket.h>

namespace {

// `text` with each "DEEP" replaced by `levels` nested arrays, built as text: a tree that deep
// would overflow this program's stack too.
std::string expandDeep(std::string text, std::size_t levels) {
    if (levels == 0) return text;
    const std::string placeholder = "\"DEEP\"";
    const std::string deep = std::string(levels, '[') + std::string(levels, ']');
    for (auto at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + deep.size()))
        text.replace(at, placeholder.size(), deep);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    int fd = -1;
    std::size_t deepLevels = 0;
    std::vector<std::string> sends, ignored, slow, held, echoed;
    std::optional<nlohmann::json> reply;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view flag = argv[i];
        if (flag == "--serve-fd") fd = std::atoi(argv[i + 1]);
        else if (flag == "--deep") deepLevels = std::strtoul(argv[i + 1], nullptr, 10);
        else if (flag == "--send") sends.emplace_back(argv[i + 1]);
        else if (flag == "--reply") reply = nlohmann::json::parse(argv[i + 1]);
        else if (flag == "--ignore") ignored.emplace_back(argv[i + 1]);
        else if (flag == "--slow") slow.emplace_back(argv[i + 1]);
        else if (flag == "--hold") held.emplace_back(argv[i + 1]);
        else if (flag == "--echo") echoed.emplace_back(argv[i + 1]);
    }
    if (fd < 0) return 2;
    if (deepLevels > 0) {
        // Room for a packet of twice the levels in bytes; the kernel caps what it grants.
        const int room = static_cast<int>(std::min<std::size_t>(4 * deepLevels + 4096, 1 << 22));
        (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    }
    remote::MessageSocket socket(fd);
    for (const auto& text : sends)
        if (socket.sendText(expandDeep(text, deepLevels), -1, /*wait=*/true) != remote::SendResult::sent) return 1;
    const auto answer = [&](const nlohmann::json& id) {
        nlohmann::json text = *reply;
        if (!text.contains("id")) text["id"] = id;
        (void)socket.sendText(expandDeep(text.dump(), deepLevels), -1, /*wait=*/true);
    };
    const auto listed = [](const std::vector<std::string>& ops, const std::string& op) {
        return std::find(ops.begin(), ops.end(), op) != ops.end();
    };
    std::vector<nlohmann::json> heldIds;
    while (const auto message = socket.receive()) {
        if (!message->is_object()) continue;
        const std::string op = message->value("op", std::string{});
        if (listed(echoed, op)) (void)socket.send({{"op", "context"}, {"name", "got " + op}});
        if (op == "context" && reply) {
            for (const auto& id : heldIds) answer(id);
            heldIds.clear();
        }
        if (!message->contains("id") || listed(ignored, op)) continue;
        if (op == "ping") {
            (void)socket.send({{"op", "pong"}, {"id", (*message)["id"]}});
        } else if (reply && listed(held, op)) {
            heldIds.push_back((*message)["id"]);
        } else if (reply) {
            if (listed(slow, op)) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            answer((*message)["id"]);
        }
    }
    return 0;
}
