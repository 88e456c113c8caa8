#include "support/json_check.h"

#include <cctype>

namespace fts::test {
namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool Document() {
    Blanks();
    if (!Value()) return false;
    Blanks();
    return at_ == text_.size();
  }
  std::size_t At() const { return at_; }

 private:
  bool Value() {
    Blanks();
    if (at_ >= text_.size()) return false;
    switch (text_[at_]) {
      case '{':
        return Members('}', true);
      case '[':
        return Members(']', false);
      case '"':
        return String();
      case 't':
        return Word("true");
      case 'f':
        return Word("false");
      case 'n':
        return Word("null");
      default:
        return Number();
    }
  }

  bool Members(char close, bool named) {
    ++at_;
    Blanks();
    if (Take(close)) return true;
    for (;;) {
      if (named) {
        Blanks();
        if (!String()) return false;
        Blanks();
        if (!Take(':')) return false;
      }
      if (!Value()) return false;
      Blanks();
      if (Take(close)) return true;
      if (!Take(',')) return false;
    }
  }

  bool String() {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const auto c = static_cast<unsigned char>(text_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') continue;
      if (at_ >= text_.size()) return false;
      const char escape = text_[at_++];
      if (escape == 'u') {
        for (int i = 0; i < 4; ++i) {
          if (at_ >= text_.size() || !std::isxdigit(static_cast<unsigned char>(text_[at_++]))) {
            return false;
          }
        }
      } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
        return false;
      }
    }
    return false;
  }

  bool Number() {
    const std::size_t start = at_;
    Take('-');
    if (Take('0')) {
    } else if (!Digits()) {
      return false;
    }
    if (Take('.') && !Digits()) return false;
    if (Take('e') || Take('E')) {
      if (!Take('+')) Take('-');
      if (!Digits()) return false;
    }
    return at_ > start;
  }

  bool Digits() {
    const std::size_t start = at_;
    while (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_])))
      ++at_;
    return at_ > start;
  }

  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }

  void Blanks() {
    while (at_ < text_.size() &&
           std::string_view(" \t\r\n").find(text_[at_]) != std::string_view::npos)
      ++at_;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

bool IsValidJson(std::string_view text, std::string* error) {
  Reader reader(text);
  const bool valid = reader.Document();
  if (!valid && error != nullptr) *error = "breaks off at byte " + std::to_string(reader.At());
  return valid;
}

std::string JsonValue(std::string_view text, std::string_view name) {
  const std::string key = "\"" + std::string(name) + "\": ";
  const std::size_t found = text.find(key);
  if (found == std::string_view::npos) return "(none)";
  std::size_t at = found + key.size();
  if (at < text.size() && text[at] == '"') {
    std::string value;
    for (++at; at < text.size() && text[at] != '"'; ++at) {
      if (text[at] == '\\' && at + 1 < text.size()) ++at;
      value += text[at];
    }
    return value;
  }
  const std::size_t end = text.find_first_of(",\n}", at);
  return std::string(text.substr(at, end - at));
}

}  // namespace fts::test
