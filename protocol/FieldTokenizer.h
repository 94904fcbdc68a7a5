#pragma once
// The tokenizer every reader of our comma- and semicolon-separated texts uses: separators in
// front of a field are skipped and a run of separators counts as one, so a field is never empty.
// Writers rely on this (an empty whitelist travels as "-"), and readers must shift fields exactly
// the same way, so there is one definition.

#include <cstddef>
#include <string_view>

namespace uv::protocol {

class FieldTokenizer {
 public:
  FieldTokenizer(std::string_view text, char separator) : text_(text), separator_(separator) {}

  // The next non-empty field, or an empty view when none is left.
  [[nodiscard]] std::string_view Next() {
    while (pos_ < text_.size() && text_[pos_] == separator_) ++pos_;
    if (pos_ >= text_.size()) return {};
    const std::size_t begin = pos_;
    while (pos_ < text_.size() && text_[pos_] != separator_) ++pos_;
    std::string_view field = text_.substr(begin, pos_ - begin);
    // Step over the separator that ended the field, as a C tokenizer overwrites it.
    if (pos_ < text_.size()) ++pos_;
    return field;
  }

  // Everything after the separator that ended the last field returned.
  [[nodiscard]] std::string_view Rest() const { return text_.substr(pos_); }

 private:
  std::string_view text_;
  char separator_;
  std::size_t pos_ = 0;
};

}  // namespace uv::protocol
