#include "json.h"

#include <cmath>
#include <cstdio>

namespace kavbench {

std::string JsonWriter::quote(const std::string &text) {
  std::string quoted = "\"";
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
    case '"':
      quoted += "\\\"";
      break;
    case '\\':
      quoted += "\\\\";
      break;
    case '\n':
      quoted += "\\n";
      break;
    case '\t':
      quoted += "\\t";
      break;
    default:
      if (byte < 0x20) {
        char escape[8];
        std::snprintf(escape, sizeof(escape), "\\u%04X", byte);
        quoted += escape;
      } else {
        quoted += c;
      }
    }
  }
  return quoted + "\"";
}

void JsonWriter::indent() {
  text_ += '\n';
  text_.append(2 * first_.size(), ' ');
}

void JsonWriter::member(const char *key) {
  if (!first_.empty()) {
    if (!first_.back()) {
      text_ += ',';
    }
    first_.back() = false;
    indent();
  }
  if (key != nullptr) {
    text_ += quote(key) + ": ";
  }
}

void JsonWriter::open(const char *key, char bracket) {
  member(key);
  text_ += bracket;
  first_.push_back(true);
}

void JsonWriter::close(char bracket) {
  bool empty = first_.back();
  first_.pop_back();
  if (!empty) {
    indent();
  }
  text_ += bracket;
}

JsonWriter &JsonWriter::beginObject(const char *key) {
  open(key, '{');
  return *this;
}

JsonWriter &JsonWriter::endObject() {
  close('}');
  return *this;
}

JsonWriter &JsonWriter::beginArray(const char *key) {
  open(key, '[');
  return *this;
}

JsonWriter &JsonWriter::endArray() {
  close(']');
  return *this;
}

JsonWriter &JsonWriter::string(const char *key, const std::string &value) {
  member(key);
  text_ += quote(value);
  return *this;
}

JsonWriter &JsonWriter::number(const char *key, uint64_t value) {
  member(key);
  text_ += std::to_string(value);
  return *this;
}

JsonWriter &JsonWriter::number(const char *key, int64_t value) {
  member(key);
  text_ += std::to_string(value);
  return *this;
}

JsonWriter &JsonWriter::number(const char *key, double value) {
  member(key);
  if (!std::isfinite(value)) {
    text_ += "null";
    return *this;
  }
  char text[32];
  std::snprintf(text, sizeof(text), "%.6g", value);
  text_ += text;
  return *this;
}

JsonWriter &JsonWriter::boolean(const char *key, bool value) {
  member(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonWriter &JsonWriter::null(const char *key) {
  member(key);
  text_ += "null";
  return *this;
}

std::string JsonWriter::text() const {
  return first_.empty() ? text_ + "\n" : text_;
}

} // namespace kavbench
