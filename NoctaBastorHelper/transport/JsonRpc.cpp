#include "NoctaBastorHelper/transport/JsonRpc.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "BastorShared/platform/Utf8.h"
#include "BastorShared/records/BastorJSON.h"
#include "BastorShared/records/JsonNumberRange.h"
#include "NoctaBastorHelper/transport/LineBuffer.h"

namespace bastor {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;
using Method = RpcCall::Method;

// A parser keeps the buffers of the largest line it has read; past this it
// starts afresh rather than hold many megabytes for the connection's life.
constexpr std::size_t kKeptParserCapacity = 1u << 20;
static_assert(LineBuffer::padding >= simdjson::SIMDJSON_PADDING, "lines are parsed in place");

constexpr std::array<std::pair<std::string_view, Method>, 8> kMethods = {{
    {BastorMethod::getState, Method::getState},
    {BastorMethod::setEnabled, Method::setEnabled},
    {BastorMethod::setAutoApproval, Method::setAutoApproval},
    {BastorMethod::setAuditEnabled, Method::setAuditEnabled},
    {BastorMethod::execute, Method::execute},
    {BastorMethod::recordEvent, Method::recordEvent},
    {BastorMethod::readAudit, Method::readAudit},
    {BastorMethod::verifyAudit, Method::verifyAudit},
}};

RpcFault fault(std::string id, int code, std::string message) {
    return RpcFault{std::move(id), code, std::move(message)};
}

RpcFault invalidParams(const std::string& id, std::string_view detail) {
    return fault(id, BastorWire::invalidParams, "Invalid params: " + std::string(detail));
}

// The id as the JSON text to echo, or nothing when it is not an accepted id.
std::optional<std::string> idText(element id) {
    std::int64_t signedValue = 0;
    std::uint64_t unsignedValue = 0;
    std::string_view text;
    switch (id.type()) {
        case element_type::INT64:
            if (id.get_int64().get(signedValue)) return std::nullopt;
            return std::to_string(signedValue);
        case element_type::UINT64:
            if (id.get_uint64().get(unsignedValue)) return std::nullopt;
            return std::to_string(unsignedValue);
        case element_type::STRING: {
            if (id.get_string().get(text)) return std::nullopt;
            std::string out;
            BastorJSON::appendString(out, text);
            return out;
        }
        default:
            return std::nullopt;
    }
}

std::optional<Method> methodNamed(std::string_view name) {
    for (const auto& [text, method] : kMethods)
        if (text == name) return method;
    return std::nullopt;
}

bool takesParams(Method method) {
    return method != Method::getState && method != Method::verifyAudit;
}

// Only a plain integer in range; 1.0 or 1e3 are refused like a string would be.
bool readInteger(object params, const char* key, std::int64_t& target) {
    element member;
    return !params.at_key(key).get(member) && member.type() == element_type::INT64 &&
           !member.get_int64().get(target);
}

// Fills the call's arguments from "params"; a message when they do not fit.
std::optional<std::string> readParams(RpcCall& call, object params) {
    element member;
    switch (call.method) {
        case Method::getState:
        case Method::verifyAudit:
            return std::nullopt;
        case Method::setEnabled:
        case Method::setAutoApproval:
        case Method::setAuditEnabled:
            if (params.at_key("value").get(member) || member.get_bool().get(call.value))
                return "\"value\" must be a boolean";
            return std::nullopt;
        case Method::execute:
        case Method::recordEvent: {
            const char* key = call.method == Method::execute ? "requestJSON" : "eventJSON";
            std::string_view text;
            if (params.at_key(key).get(member) || member.get_string().get(text))
                return "\"" + std::string(key) + "\" must be a string";
            call.text = text;
            return std::nullopt;
        }
        case Method::readAudit:
            if (!readInteger(params, "offset", call.offset))
                return "\"offset\" must be a 64-bit signed integer";
            if (!readInteger(params, "limit", call.limit))
                return "\"limit\" must be a 64-bit signed integer";
            return std::nullopt;
    }
    return std::nullopt;
}

std::string_view validText(std::string_view text, std::string& repaired) {
    if (isValidUtf8(text)) return text;
    repaired = repairUtf8(text);
    return repaired;
}

std::string replyHead(std::string_view id) {
    std::string out = R"({"jsonrpc":"2.0","id":)";
    out += id;
    return out;
}

// The first key that occurs twice in `members`, if any. The service's own
// decoder refuses duplicates, so the envelope must not let one member
// silently win over another.
std::optional<std::string_view> duplicateKey(object members) {
    std::vector<std::string_view> keys;
    for (const auto field : members)
        keys.push_back(field.key);
    std::sort(keys.begin(), keys.end());
    const auto twice = std::adjacent_find(keys.begin(), keys.end());
    if (twice == keys.end()) return std::nullopt;
    return *twice;
}

}  // namespace

JsonRpcDecoder::JsonRpcDecoder() : parser_(std::make_unique<simdjson::dom::parser>()) {}
JsonRpcDecoder::~JsonRpcDecoder() = default;

std::variant<RpcCall, RpcFault> JsonRpcDecoder::decode(std::string_view line, bool padded) {
    // Everything taken from the document is copied out, so the buffers of a
    // large line can go as soon as it is read.
    struct Shrink {
        std::unique_ptr<simdjson::dom::parser>& parser;
        ~Shrink() {
            if (parser->capacity() > kKeptParserCapacity)
                parser = std::make_unique<simdjson::dom::parser>();
        }
    } shrink{parser_};

    element document;
    const auto error = parser_->parse(line.data(), line.size(), !padded).get(document);
    if (!error) return decodeDocument(document);
    // A number beyond 64 bits fails the whole parse, yet the line is JSON
    // and its call has an id to answer with.
    if (error == simdjson::NUMBER_ERROR) {
        if (const auto masked = maskOutOfRangeNumbers(line);
            masked && !parser_->parse(masked->data(), masked->size()).get(document)) {
            auto decoded = decodeDocument(document);
            if (auto* call = std::get_if<RpcCall>(&decoded))
                return invalidParams(call->id, "a number is out of the 64-bit range");
            return decoded;
        }
    }
    return fault("null", BastorWire::parseError, "Parse error");
}

std::variant<RpcCall, RpcFault> JsonRpcDecoder::decodeDocument(simdjson::dom::element document) {
    if (document.type() == element_type::ARRAY)
        return fault("null", BastorWire::invalidRequest, "Invalid Request: batches are not served");
    object request;
    if (document.get_object().get(request))
        return fault("null", BastorWire::invalidRequest, "Invalid Request: not an object");

    const auto duplicate = duplicateKey(request);
    element member;
    if (request.at_key("id").get(member))
        return fault("null", BastorWire::invalidRequest, "Invalid Request: no id");
    if (duplicate == "id")
        return fault("null", BastorWire::invalidRequest, "Invalid Request: duplicate key \"id\"");
    auto id = idText(member);
    if (!id)
        return fault("null", BastorWire::invalidRequest,
                     "Invalid Request: id must be a string or an integer");
    if (duplicate)
        return fault(*id, BastorWire::invalidRequest,
                     "Invalid Request: duplicate key \"" + std::string(*duplicate) + "\"");

    std::string_view text;
    if (request.at_key("jsonrpc").get(member) || member.get_string().get(text) || text != "2.0")
        return fault(*id, BastorWire::invalidRequest, "Invalid Request: jsonrpc must be \"2.0\"");
    if (request.at_key("method").get(member) || member.get_string().get(text))
        return fault(*id, BastorWire::invalidRequest, "Invalid Request: method must be a string");

    RpcCall call;
    call.id = std::move(*id);
    const auto method = methodNamed(text);
    if (!method) return fault(call.id, BastorWire::methodNotFound, "Method not found");
    call.method = *method;

    object params;
    const auto found = request.at_key("params");
    if (found.error() == simdjson::NO_SUCH_FIELD) {
        if (takesParams(call.method)) return invalidParams(call.id, "params are missing");
        return call;
    }
    if (found.get_object().get(params)) return invalidParams(call.id, "params must be an object");
    if (const auto twice = duplicateKey(params))
        return invalidParams(call.id, "duplicate key \"" + std::string(*twice) + "\"");
    if (auto problem = readParams(call, params)) return invalidParams(call.id, *problem);
    return call;
}

std::string formatResult(std::string_view id, std::optional<std::string_view> json) {
    std::string out = replyHead(id);
    if (!json) {
        out += ",\"result\":{}}\n";
        return out;
    }
    std::string repaired;
    out += ",\"result\":{\"json\":";
    BastorJSON::appendString(out, validText(*json, repaired));
    out += "}}\n";
    return out;
}

std::string formatError(std::string_view id, int code, std::string_view message) {
    std::string out = replyHead(id);
    std::string repaired;
    out += ",\"error\":{\"code\":";
    out += std::to_string(code);
    out += ",\"message\":";
    BastorJSON::appendString(out, validText(message, repaired));
    out += "}}\n";
    return out;
}

}  // namespace bastor
