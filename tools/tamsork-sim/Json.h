// A small JSON writer for tamsork-sim's --json output: objects, arrays,
// strings, numbers, booleans and null, indented two spaces per level.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tamsork_sim {

// S as a JSON string literal, quotes included. Quote, backslash and control
// characters are escaped; bytes that do not form well-formed UTF-8 become
// U+FFFD, so the output is valid UTF-8 whatever S holds.
std::string JsonQuote(const std::string &S);

class JsonWriter {
 public:
  JsonWriter &BeginObject();
  JsonWriter &EndObject();
  JsonWriter &BeginArray();
  JsonWriter &EndArray();
  // The member name of the next value; only inside an object.
  JsonWriter &Key(const std::string &Name);
  JsonWriter &String(const std::string &Value);
  JsonWriter &Number(uint64_t Value);
  JsonWriter &Bool(bool Value);
  JsonWriter &Null();

  // The text written so far, with a final newline once the outermost value
  // is closed.
  const std::string &Text() const { return Out_; }

 private:
  struct Level {
    bool Object = false;
    bool Empty = true;
  };
  void BeforeValue();
  void Close(char Bracket);

  std::string Out_;
  std::vector<Level> Levels_;
  bool AfterKey_ = false;
};

}  // namespace tamsork_sim
