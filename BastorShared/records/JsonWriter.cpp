#include "BastorShared/records/BastorJSON.h"

#include <charconv>

namespace bastor::BastorJSON {

namespace {

void appendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendBool(std::string& out, bool value) {
    out.append(value ? "true" : "false");
}

}  // namespace

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
}

void JsonWriter::beginObject() {
    separate();
    out_ += '{';
    first_.push_back(true);
}

void JsonWriter::endObject() {
    out_ += '}';
    first_.pop_back();
}

void JsonWriter::beginArray() {
    separate();
    out_ += '[';
    first_.push_back(true);
}

void JsonWriter::endArray() {
    out_ += ']';
    first_.pop_back();
}

void JsonWriter::key(std::string_view name) {
    separate();
    appendString(out_, name);
    out_ += ':';
    afterKey_ = true;
}

void JsonWriter::string(std::string_view value) {
    separate();
    appendString(out_, value);
}

void JsonWriter::integer(std::int64_t value) {
    separate();
    appendInteger(out_, value);
}

void JsonWriter::boolean(bool value) {
    separate();
    appendBool(out_, value);
}

void JsonWriter::null() {
    separate();
    out_.append("null");
}

void JsonWriter::raw(std::string_view json) {
    separate();
    out_.append(json);
}

}  // namespace bastor::BastorJSON
