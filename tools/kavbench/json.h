// A small JSON writer for --json: objects, arrays, strings, numbers and
// booleans, written in order into a string with two-space indentation.
#ifndef KAV_TOOLS_KAVBENCH_JSON_H
#define KAV_TOOLS_KAVBENCH_JSON_H

#include <cstdint>
#include <string>
#include <vector>

namespace kavbench {

class JsonWriter {
public:
  // A member of the enclosing object (key) or an element of the enclosing
  // array (no key).
  JsonWriter &beginObject(const char *key = nullptr);
  JsonWriter &endObject();
  JsonWriter &beginArray(const char *key = nullptr);
  JsonWriter &endArray();
  JsonWriter &string(const char *key, const std::string &value);
  JsonWriter &number(const char *key, uint64_t value);
  JsonWriter &number(const char *key, int64_t value);
  JsonWriter &number(const char *key, double value);
  JsonWriter &boolean(const char *key, bool value);
  JsonWriter &null(const char *key);

  // The text, with a final newline once every object and array is closed.
  std::string text() const;

  static std::string quote(const std::string &text);

private:
  void open(const char *key, char bracket);
  void close(char bracket);
  void member(const char *key);
  void indent();

  std::string text_;
  std::vector<bool> first_; // per open level: no member written yet
};

} // namespace kavbench

#endif
