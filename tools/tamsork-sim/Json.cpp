#include "tools/tamsork-sim/Json.h"

#include <stdexcept>

#include "tools/tamsork-sim/Options.h"

namespace tamsork_sim {

namespace {

// Length of the well-formed UTF-8 sequence starting at S[I], or 0 when the
// bytes there do not form one (overlong forms, surrogates and values above
// U+10FFFF included).
size_t Utf8SequenceLength(const std::string &S, size_t I) {
  const auto Byte = [&](size_t K) { return static_cast<unsigned char>(S[K]); };
  const unsigned char B = Byte(I);
  size_t Length = 0;
  uint32_t C = 0;
  uint32_t Min = 0;
  if (B < 0x80) {
    return 1;
  } else if ((B & 0xE0) == 0xC0) {
    Length = 2, C = B & 0x1F, Min = 0x80;
  } else if ((B & 0xF0) == 0xE0) {
    Length = 3, C = B & 0x0F, Min = 0x800;
  } else if ((B & 0xF8) == 0xF0) {
    Length = 4, C = B & 0x07, Min = 0x10000;
  } else {
    return 0;
  }
  if (I + Length > S.size()) {
    return 0;
  }
  for (size_t K = 1; K < Length; K++) {
    if ((Byte(I + K) & 0xC0) != 0x80) {
      return 0;
    }
    C = (C << 6) | (Byte(I + K) & 0x3F);
  }
  if (C < Min || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF)) {
    return 0;
  }
  return Length;
}

}  // namespace

std::string JsonQuote(const std::string &S) {
  std::string Out = "\"";
  for (size_t I = 0; I < S.size();) {
    const auto B = static_cast<unsigned char>(S[I]);
    switch (B) {
      case '"':
        Out += "\\\"";
        break;
      case '\\':
        Out += "\\\\";
        break;
      case '\n':
        Out += "\\n";
        break;
      case '\r':
        Out += "\\r";
        break;
      case '\t':
        Out += "\\t";
        break;
      case '\b':
        Out += "\\b";
        break;
      case '\f':
        Out += "\\f";
        break;
      default:
        if (B < 0x20) {
          Out += "\\u00" + Hex(B, 2).substr(2);
        } else if (const size_t Length = Utf8SequenceLength(S, I); Length == 0) {
          Out += "\\uFFFD";
        } else {
          Out.append(S, I, Length);
          I += Length;
          continue;
        }
    }
    I++;
  }
  return Out + "\"";
}

void JsonWriter::BeforeValue() {
  if (AfterKey_) {
    AfterKey_ = false;
    return;
  }
  if (Levels_.empty()) {
    if (!Out_.empty()) {
      throw std::logic_error("JsonWriter: a second top-level value");
    }
    return;
  }
  if (Levels_.back().Object) {
    throw std::logic_error("JsonWriter: a value in an object without a key");
  }
  Out_ += Levels_.back().Empty ? "\n" : ",\n";
  Levels_.back().Empty = false;
  Out_.append(2 * Levels_.size(), ' ');
}

JsonWriter &JsonWriter::BeginObject() {
  BeforeValue();
  Out_ += '{';
  Levels_.push_back({true, true});
  return *this;
}

JsonWriter &JsonWriter::BeginArray() {
  BeforeValue();
  Out_ += '[';
  Levels_.push_back({false, true});
  return *this;
}

void JsonWriter::Close(char Bracket) {
  if (Levels_.empty() || Levels_.back().Object != (Bracket == '}') || AfterKey_) {
    throw std::logic_error("JsonWriter: unbalanced close");
  }
  const bool Empty = Levels_.back().Empty;
  Levels_.pop_back();
  if (!Empty) {
    Out_ += '\n';
    Out_.append(2 * Levels_.size(), ' ');
  }
  Out_ += Bracket;
  if (Levels_.empty()) {
    Out_ += '\n';
  }
}

JsonWriter &JsonWriter::EndObject() {
  Close('}');
  return *this;
}

JsonWriter &JsonWriter::EndArray() {
  Close(']');
  return *this;
}

JsonWriter &JsonWriter::Key(const std::string &Name) {
  if (Levels_.empty() || !Levels_.back().Object || AfterKey_) {
    throw std::logic_error("JsonWriter: a key outside an object");
  }
  Out_ += Levels_.back().Empty ? "\n" : ",\n";
  Levels_.back().Empty = false;
  Out_.append(2 * Levels_.size(), ' ');
  Out_ += JsonQuote(Name) + ": ";
  AfterKey_ = true;
  return *this;
}

JsonWriter &JsonWriter::String(const std::string &Value) {
  BeforeValue();
  Out_ += JsonQuote(Value);
  return *this;
}

JsonWriter &JsonWriter::Number(uint64_t Value) {
  BeforeValue();
  Out_ += std::to_string(Value);
  return *this;
}

JsonWriter &JsonWriter::Bool(bool Value) {
  BeforeValue();
  Out_ += Value ? "true" : "false";
  return *this;
}

JsonWriter &JsonWriter::Null() {
  BeforeValue();
  Out_ += "null";
  return *this;
}

}  // namespace tamsork_sim
