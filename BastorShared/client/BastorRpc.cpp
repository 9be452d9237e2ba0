#include "BastorShared/client/BastorRpc.h"

#include <simdjson.h>

#include <charconv>

#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/JsonNumberRange.h"

namespace bastor::BastorRpc {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// One parser per thread: the reader thread reuses its buffers for every
// reply, callers validating params use their own.
element parse(std::string_view text, const char* what) {
    thread_local simdjson::dom::parser parser;
    element root;
    if (auto error = parser.parse(text.data(), text.size(), true).get(root)) {
        throw ProtocolError(std::string(what) +
                            " is not valid JSON: " + simdjson::error_message(error));
    }
    return root;
}

std::string_view stringMember(element value, const char* name) {
    std::string_view text;
    if (value.get_string().get(text)) {
        throw ProtocolError(std::string("reply member \"") + name + "\" is not a string");
    }
    return text;
}

std::optional<std::int64_t> replyID(element value) {
    switch (value.type()) {
        case element_type::NULL_VALUE:
            return std::nullopt;
        case element_type::INT64:
            return value.get_int64().value_unsafe();
        default:
            throw ProtocolError("reply id is neither an integer nor null");
    }
}

void readResult(element value, Reply& reply) {
    simdjson::dom::object result;
    if (value.get_object().get(result)) throw ProtocolError("reply result is not an object");
    element json;
    if (result["json"].get(json) == simdjson::SUCCESS) {
        reply.json = std::string(stringMember(json, "json"));
    }
}

void readError(element value, Reply& reply) {
    simdjson::dom::object error;
    if (value.get_object().get(error)) throw ProtocolError("reply error is not an object");
    std::int64_t code = 0;
    if (error["code"].get_int64().get(code) || code < INT32_MIN || code > INT32_MAX) {
        throw ProtocolError("reply error has no integer code");
    }
    element message;
    if (error["message"].get(message)) throw ProtocolError("reply error has no message");
    reply.errorCode = static_cast<int>(code);
    reply.errorMessage = std::string(stringMember(message, "message"));
}

}  // namespace

std::string requestLine(std::int64_t id, std::string_view method, std::string_view paramsJSON) {
    std::string line;
    line.reserve(paramsJSON.size() + method.size() + 64);
    line += "{\"id\":";
    line += std::to_string(id);
    line += ",\"jsonrpc\":\"2.0\",\"method\":";
    BastorJSON::appendString(line, method);
    line += ",\"params\":";
    line += paramsJSON;
    line += '}';
    return line;
}

std::string valueParams(bool value) {
    return value ? R"({"value":true})" : R"({"value":false})";
}

std::string textParams(std::string_view key, std::string_view text) {
    std::string params = "{";
    BastorJSON::appendString(params, key);
    params += ':';
    BastorJSON::appendString(params, text);
    params += '}';
    return params;
}

std::string pageParams(std::int64_t offset, std::int64_t limit) {
    return "{\"limit\":" + std::to_string(limit) + ",\"offset\":" + std::to_string(offset) + "}";
}

std::string compactParams(std::string_view text) {
    // Validates structure and UTF-8, which minify alone does not. A number
    // beyond 64 bits is JSON all the same; the helper judges it.
    const auto masked = maskOutOfRangeNumbers(text);
    parse(masked ? std::string_view(*masked) : text, "params");
    std::string compact(text.size(), '\0');
    std::size_t length = 0;
    if (auto error = simdjson::minify(text.data(), text.size(), compact.data(), length)) {
        throw ProtocolError(std::string("params cannot be compacted: ") +
                            simdjson::error_message(error));
    }
    compact.resize(length);
    return compact;
}

std::optional<std::int64_t> leadingID(std::string_view line) {
    constexpr std::string_view head = R"({"jsonrpc":"2.0","id":)";
    if (!line.starts_with(head)) return std::nullopt;
    line.remove_prefix(head.size());
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), id);
    if (error != std::errc() || end == line.data() + line.size() || *end != ',')
        return std::nullopt;
    return id;
}

Reply parseReply(std::string_view line) {
    simdjson::dom::object object;
    if (parse(line, "reply").get_object().get(object)) {
        throw ProtocolError("reply is not a JSON object");
    }
    Reply reply;
    bool sawVersion = false, sawID = false, sawResult = false, sawError = false;
    for (auto [key, value] : object) {
        bool* seen = key == "jsonrpc"  ? &sawVersion
                     : key == "id"     ? &sawID
                     : key == "result" ? &sawResult
                     : key == "error"  ? &sawError
                                       : nullptr;
        if (seen == nullptr) continue;
        if (*seen) throw ProtocolError("reply member \"" + std::string(key) + "\" appears twice");
        *seen = true;
        if (key == "jsonrpc") {
            if (stringMember(value, "jsonrpc") != "2.0")
                throw ProtocolError("reply is not JSON-RPC 2.0");
        } else if (key == "id") {
            reply.id = replyID(value);
        } else if (key == "result") {
            readResult(value, reply);
        } else {
            readError(value, reply);
        }
    }
    if (!sawVersion) throw ProtocolError("reply has no \"jsonrpc\" member");
    if (!sawID) throw ProtocolError("reply has no id");
    if (sawResult == sawError)
        throw ProtocolError("reply must carry exactly one of result and error");
    return reply;
}

}  // namespace bastor::BastorRpc
