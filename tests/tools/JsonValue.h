// A strict JSON reader for the tests: it refuses anything RFC 8259 does not
// allow (trailing commas, bare control characters, bad escapes, lone
// surrogates, ill-formed UTF-8, leading zeros, text after the value) and
// hands back a tree the tests can walk.
#pragma once

#include "simfw/Firmware.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace json_test {

struct Value {
  enum class Type { Null, Bool, Number, String, Array, Object } Kind = Type::Null;
  bool Boolean = false;
  double Number = 0;
  std::string Text;
  std::vector<Value> Items;
  std::map<std::string, Value> Members;

  const Value &operator[](const std::string &Key) const {
    const auto It = Members.find(Key);
    if (Kind != Type::Object || It == Members.end()) {
      throw std::out_of_range("no member " + Key);
    }
    return It->second;
  }
  const Value &operator[](size_t I) const { return Items.at(I); }
  bool IsNull() const { return Kind == Type::Null; }
};

class Reader {
 public:
  explicit Reader(const std::string &Text) : S_(Text) {}

  Value Document() {
    Value V = Parse();
    Space();
    if (At_ != S_.size()) {
      Fail("text after the value");
    }
    return V;
  }

 private:
  [[noreturn]] void Fail(const std::string &Why) {
    throw std::runtime_error("JSON at " + std::to_string(At_) + ": " + Why);
  }
  void Space() {
    while (At_ < S_.size() && (S_[At_] == ' ' || S_[At_] == '\n' || S_[At_] == '\r' || S_[At_] == '\t')) {
      At_++;
    }
  }
  bool Take(const std::string &Word) {
    if (S_.compare(At_, Word.size(), Word) == 0) {
      At_ += Word.size();
      return true;
    }
    return false;
  }
  void Expect(char C) {
    Space();
    if (At_ >= S_.size() || S_[At_] != C) {
      Fail(std::string("expected ") + C);
    }
    At_++;
  }

  Value Parse() {
    Space();
    Value V;
    if (At_ >= S_.size()) {
      Fail("unexpected end");
    }
    const char C = S_[At_];
    if (C == '{') {
      V.Kind = Value::Type::Object;
      At_++;
      Space();
      if (Take("}")) {
        return V;
      }
      do {
        Space();
        const std::string Key = String();
        Expect(':');
        if (!V.Members.emplace(Key, Parse()).second) {
          Fail("duplicate key " + Key);
        }
        Space();
      } while (Take(","));
      Expect('}');
    } else if (C == '[') {
      V.Kind = Value::Type::Array;
      At_++;
      Space();
      if (Take("]")) {
        return V;
      }
      do {
        V.Items.push_back(Parse());
        Space();
      } while (Take(","));
      Expect(']');
    } else if (C == '"') {
      V.Kind = Value::Type::String;
      V.Text = String();
    } else if (Take("true")) {
      V.Kind = Value::Type::Bool;
      V.Boolean = true;
    } else if (Take("false")) {
      V.Kind = Value::Type::Bool;
    } else if (Take("null")) {
    } else {
      V.Kind = Value::Type::Number;
      V.Number = Number();
    }
    return V;
  }

  double Number() {
    const size_t Start = At_;
    Take("-");
    if (Take("0")) {
      if (At_ < S_.size() && isdigit(static_cast<unsigned char>(S_[At_]))) {
        Fail("leading zero");
      }
    } else if (!Digits()) {
      Fail("not a value");
    }
    if (Take(".") && !Digits()) {
      Fail("no digits after the point");
    }
    if (Take("e") || Take("E")) {
      if (!Take("+")) {
        Take("-");
      }
      if (!Digits()) {
        Fail("no exponent digits");
      }
    }
    return std::stod(S_.substr(Start, At_ - Start));
  }
  bool Digits() {
    const size_t Start = At_;
    while (At_ < S_.size() && isdigit(static_cast<unsigned char>(S_[At_]))) {
      At_++;
    }
    return At_ > Start;
  }

  uint32_t Hex4() {
    if (At_ + 4 > S_.size()) {
      Fail("short \\u escape");
    }
    const std::string Digits = S_.substr(At_, 4);
    if (Digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
      Fail("bad \\u escape");
    }
    At_ += 4;
    return static_cast<uint32_t>(std::stoul(Digits, nullptr, 16));
  }
  // Checks one UTF-8 sequence at At_ and copies it.
  void CopyUtf8(std::string &Out) {
    const auto B = static_cast<unsigned char>(S_[At_]);
    const size_t Length = B < 0x80 ? 1 : (B & 0xE0) == 0xC0 ? 2 : (B & 0xF0) == 0xE0 ? 3 : (B & 0xF8) == 0xF0 ? 4 : 0;
    if (Length == 0 || At_ + Length > S_.size()) {
      Fail("ill-formed UTF-8");
    }
    uint32_t C = Length == 1 ? B : B & (0x7F >> Length);
    for (size_t K = 1; K < Length; K++) {
      const auto N = static_cast<unsigned char>(S_[At_ + K]);
      if ((N & 0xC0) != 0x80) {
        Fail("ill-formed UTF-8");
      }
      C = (C << 6) | (N & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (C < kMin[Length] || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF)) {
      Fail("ill-formed UTF-8");
    }
    Out.append(S_, At_, Length);
    At_ += Length;
  }
  std::string String() {
    Expect('"');
    std::string Out;
    for (;;) {
      if (At_ >= S_.size()) {
        Fail("unterminated string");
      }
      const auto C = static_cast<unsigned char>(S_[At_]);
      if (C == '"') {
        At_++;
        return Out;
      }
      if (C < 0x20) {
        Fail("bare control character in a string");
      }
      if (C != '\\') {
        CopyUtf8(Out);
        continue;
      }
      At_++;
      const char E = At_ < S_.size() ? S_[At_++] : '\0';
      static const std::string kSimple = "\"\\/bfnrt";
      static const std::string kMeaning = "\"\\/\b\f\n\r\t";
      if (const size_t K = kSimple.find(E); E != '\0' && K != std::string::npos) {
        Out += kMeaning[K];
      } else if (E == 'u') {
        uint32_t Code = Hex4();
        if (Code >= 0xD800 && Code <= 0xDBFF) {
          if (!Take("\\u")) {
            Fail("lone high surrogate");
          }
          const uint32_t Low = Hex4();
          if (Low < 0xDC00 || Low > 0xDFFF) {
            Fail("bad low surrogate");
          }
          Code = 0x10000 + ((Code - 0xD800) << 10) + (Low - 0xDC00);
        } else if (Code >= 0xDC00 && Code <= 0xDFFF) {
          Fail("lone low surrogate");
        }
        sim::AppendUtf8(Out, Code);
      } else {
        Fail("bad escape");
      }
    }
  }

  const std::string &S_;
  size_t At_ = 0;
};

inline Value Parse(const std::string &Text) { return Reader(Text).Document(); }

}  // namespace json_test
