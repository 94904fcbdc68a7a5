#include "protocol/VersionResourceCompiler.h"

#include <cstdio>

#include "protocol/VersionResource.h"

namespace uv::protocol {

namespace {

// --- Text -------------------------------------------------------------------------------------

struct Token {
  enum class Kind { kEnd, kWord, kNumber, kString, kComma, kBegin, kFinish, kError };
  Kind kind = Kind::kEnd;
  std::string text;
  std::uint32_t number = 0;
  int line = 1;
};

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  Token Next() {
    SkipSpaceAndComments();
    Token token;
    token.line = line_;
    if (pos_ >= text_.size()) return token;
    const char c = text_[pos_];
    if (c == ',') {
      ++pos_;
      token.kind = Token::Kind::kComma;
    } else if (c == '{') {
      ++pos_;
      token.kind = Token::Kind::kBegin;
    } else if (c == '}') {
      ++pos_;
      token.kind = Token::Kind::kFinish;
    } else if (c == '"') {
      ReadString(token);
    } else if (IsDigit(c)) {
      ReadNumber(token);
    } else if (IsWordStart(c)) {
      const std::size_t begin = pos_;
      while (pos_ < text_.size() && (IsWordStart(text_[pos_]) || IsDigit(text_[pos_]))) ++pos_;
      token.text.assign(text_.substr(begin, pos_ - begin));
      token.kind = token.text == "BEGIN" ? Token::Kind::kBegin
                   : token.text == "END" ? Token::Kind::kFinish
                                         : Token::Kind::kWord;
    } else {
      token.kind = Token::Kind::kError;
      token.text = std::string("unexpected character '") + c + "'";
    }
    return token;
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static bool IsWordStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
  }

  void SkipSpaceAndComments() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else if (c == '#' || (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/')) {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else {
        return;
      }
    }
  }

  void ReadString(Token& token) {
    ++pos_;  // opening quote
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') {
        if (pos_ < text_.size() && text_[pos_] == '"') {  // "" is a quote
          token.text.push_back('"');
          ++pos_;
          continue;
        }
        token.kind = Token::Kind::kString;
        return;
      }
      if (c == '\n') break;
      if (c == '\\' && pos_ < text_.size()) {
        const char e = text_[pos_++];
        token.text.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e);
        continue;
      }
      token.text.push_back(c);
    }
    token.kind = Token::Kind::kError;
    token.text = "unterminated string";
  }

  void ReadNumber(Token& token) {
    int base = 10;
    if (text_[pos_] == '0' && pos_ + 1 < text_.size() &&
        (text_[pos_ + 1] == 'x' || text_[pos_ + 1] == 'X')) {
      base = 16;
      pos_ += 2;
    }
    std::uint64_t value = 0;
    bool any = false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      int digit = -1;
      if (IsDigit(c)) digit = c - '0';
      if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) break;
      value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
      if (value > 0xFFFFFFFFu) {
        token.kind = Token::Kind::kError;
        token.text = "number too large";
        return;
      }
      any = true;
      ++pos_;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'L' || text_[pos_] == 'l')) ++pos_;
    if (!any) {
      token.kind = Token::Kind::kError;
      token.text = "malformed number";
      return;
    }
    token.kind = Token::Kind::kNumber;
    token.number = static_cast<std::uint32_t>(value);
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
};

class Parser {
 public:
  explicit Parser(std::string_view text) : lexer_(text) { Advance(); }

  VersionParse Parse() {
    VersionInfoSource source;
    // An optional "1 VERSIONINFO" header, as a resource script has it.
    if (current_.kind == Token::Kind::kNumber) {
      Advance();
      if (!ExpectWord("VERSIONINFO")) return Failure();
    }
    while (current_.kind == Token::Kind::kWord) {
      const std::string name = current_.text;
      Advance();
      if (name == "FILEVERSION" || name == "PRODUCTVERSION") {
        auto& target = name == "FILEVERSION" ? source.fileVersion : source.productVersion;
        for (std::size_t i = 0; i < 4; ++i) {
          if (i > 0 && !Expect(Token::Kind::kComma, "','")) return Failure();
          std::uint32_t part = 0;
          if (!Number(part) || part > 0xFFFF) return Failure("version part out of range");
          target[i] = static_cast<std::uint16_t>(part);
        }
      } else if (name == "FILEFLAGSMASK" || name == "FILEFLAGS" || name == "FILEOS" ||
                 name == "FILETYPE" || name == "FILESUBTYPE") {
        std::uint32_t value = 0;
        if (!Number(value)) return Failure();
        (name == "FILEFLAGSMASK" ? source.fileFlagsMask
         : name == "FILEFLAGS"   ? source.fileFlags
         : name == "FILEOS"      ? source.fileOs
         : name == "FILETYPE"    ? source.fileType
                                 : source.fileSubtype) = value;
      } else {
        return Failure("unknown statement " + name);
      }
    }
    if (!Body(source.blocks, 0)) return Failure();
    if (current_.kind != Token::Kind::kEnd) return Failure("text after the last END");
    return {std::move(source), {}};
  }

 private:
  static constexpr int kMaxDepth = 8;

  void Advance() { current_ = lexer_.Next(); }

  bool Expect(Token::Kind kind, std::string_view what) {
    if (current_.kind != kind) {
      if (error_.empty()) error_ = "expected " + std::string(what);
      return false;
    }
    Advance();
    return true;
  }

  bool ExpectWord(std::string_view word) {
    if (current_.kind != Token::Kind::kWord || current_.text != word) {
      error_ = "expected " + std::string(word);
      return false;
    }
    Advance();
    return true;
  }

  bool Number(std::uint32_t& value) {
    if (current_.kind != Token::Kind::kNumber) {
      error_ = "expected a number";
      return false;
    }
    value = current_.number;
    Advance();
    return true;
  }

  bool String(std::string& value) {
    if (current_.kind != Token::Kind::kString) {
      error_ = "expected a quoted text";
      return false;
    }
    value = std::move(current_.text);
    Advance();
    return true;
  }

  bool Body(std::vector<VersionNode>& nodes, int depth) {
    if (depth > kMaxDepth) {
      error_ = "blocks nested too deeply";
      return false;
    }
    if (!Expect(Token::Kind::kBegin, "BEGIN")) return false;
    while (current_.kind == Token::Kind::kWord) {
      VersionNode node;
      const bool isBlock = current_.text == "BLOCK";
      if (!isBlock && current_.text != "VALUE") {
        error_ = "expected BLOCK or VALUE";
        return false;
      }
      Advance();
      if (!String(node.key)) return false;
      if (isBlock) {
        node.kind = VersionNode::Kind::kBlock;
        if (!Body(node.children, depth + 1)) return false;
      } else {
        if (!Expect(Token::Kind::kComma, "','")) return false;
        if (current_.kind == Token::Kind::kString) {
          node.kind = VersionNode::Kind::kText;
          if (!String(node.text)) return false;
        } else {
          node.kind = VersionNode::Kind::kBinary;
          for (;;) {
            std::uint32_t word = 0;
            if (!Number(word)) return false;
            if (word > 0xFFFF) {
              error_ = "value word out of range";
              return false;
            }
            node.binary.push_back(static_cast<std::uint8_t>(word & 0xFF));
            node.binary.push_back(static_cast<std::uint8_t>(word >> 8));
            if (current_.kind != Token::Kind::kComma) break;
            Advance();
          }
        }
      }
      nodes.push_back(std::move(node));
    }
    return Expect(Token::Kind::kFinish, "END");
  }

  VersionParse Failure(std::string message = {}) {
    if (!message.empty()) error_ = std::move(message);
    if (current_.kind == Token::Kind::kError) error_ = current_.text;
    if (error_.empty()) error_ = "syntax error";
    return {std::nullopt, "line " + std::to_string(current_.line) + ": " + error_};
  }

  Lexer lexer_;
  Token current_;
  std::string error_;
};

// --- Binary -----------------------------------------------------------------------------------

void Pad(std::vector<std::uint8_t>& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  PutU16(out, static_cast<std::uint16_t>(value & 0xFFFF));
  PutU16(out, static_cast<std::uint16_t>(value >> 16));
}

std::uint32_t High(const std::array<std::uint16_t, 4>& v) {
  return static_cast<std::uint32_t>(v[0]) << 16 | v[1];
}
std::uint32_t Low(const std::array<std::uint16_t, 4>& v) {
  return static_cast<std::uint32_t>(v[2]) << 16 | v[3];
}

class Writer {
 public:
  bool Node(std::string_view key, VersionValueType type, const std::vector<std::uint8_t>& value,
            const std::vector<VersionNode>& children) {
    if (value.size() > 0xFFFF) return Fail(key);
    Pad(out_);
    const std::size_t start = out_.size();
    PutU16(out_, 0);  // length, patched below
    PutU16(out_, static_cast<std::uint16_t>(value.size()));
    PutU16(out_, static_cast<std::uint16_t>(type));
    out_.insert(out_.end(), key.begin(), key.end());
    out_.push_back(0);
    Pad(out_);
    out_.insert(out_.end(), value.begin(), value.end());
    for (const VersionNode& child : children) {
      if (!Child(child)) return false;
    }
    const std::size_t length = out_.size() - start;
    if (length > 0xFFFF) return Fail(key);
    out_[start] = static_cast<std::uint8_t>(length & 0xFF);
    out_[start + 1] = static_cast<std::uint8_t>(length >> 8);
    return true;
  }

  bool Child(const VersionNode& node) {
    switch (node.kind) {
      case VersionNode::Kind::kBlock:
        return Node(node.key, VersionValueType::kText, {}, node.children);
      case VersionNode::Kind::kText: {
        std::vector<std::uint8_t> value(node.text.begin(), node.text.end());
        value.push_back(0);
        return Node(node.key, VersionValueType::kText, value, {});
      }
      case VersionNode::Kind::kBinary:
        return Node(node.key, VersionValueType::kBinary, node.binary, {});
    }
    return false;
  }

  std::vector<std::uint8_t> Take() { return std::move(out_); }
  std::string error;

 private:
  bool Fail(std::string_view key) {
    error = "version resource node \"" + std::string(key) + "\" exceeds 65535 bytes";
    return false;
  }

  std::vector<std::uint8_t> out_;
};

}  // namespace

VersionParse ParseVersionInfoText(std::string_view text) {
  return Parser(text).Parse();
}

void SetStringValue(VersionInfoSource& source, std::string_view name, std::string_view value) {
  for (VersionNode& block : source.blocks) {
    if (block.kind != VersionNode::Kind::kBlock || block.key != "StringFileInfo") continue;
    for (VersionNode& table : block.children) {
      if (table.kind != VersionNode::Kind::kBlock) continue;
      bool found = false;
      for (VersionNode& entry : table.children) {
        if (entry.kind == VersionNode::Kind::kText && entry.key == name) {
          entry.text = value;
          found = true;
        }
      }
      if (!found) {
        VersionNode entry;
        entry.kind = VersionNode::Kind::kText;
        entry.key = name;
        entry.text = value;
        table.children.push_back(std::move(entry));
      }
    }
  }
}

VersionCompile CompileVersionResource(const VersionInfoSource& source) {
  std::vector<std::uint8_t> fixed;
  PutU32(fixed, kFixedFileInfoSignature);
  PutU32(fixed, 0x00010000);  // structure version 1.0
  PutU32(fixed, High(source.fileVersion));
  PutU32(fixed, Low(source.fileVersion));
  PutU32(fixed, High(source.productVersion));
  PutU32(fixed, Low(source.productVersion));
  PutU32(fixed, source.fileFlagsMask);
  PutU32(fixed, source.fileFlags);
  PutU32(fixed, source.fileOs);
  PutU32(fixed, source.fileType);
  PutU32(fixed, source.fileSubtype);
  PutU32(fixed, 0);  // file date, unused
  PutU32(fixed, 0);

  Writer writer;
  if (!writer.Node(kVersionRootKey, VersionValueType::kBinary, fixed, source.blocks)) {
    return {{}, writer.error};
  }
  return {writer.Take(), {}};
}

std::string EmitVersionResourceSource(const std::vector<std::uint8_t>& blob) {
  std::string out =
      "// Generated from the version resource text by the build; do not edit.\n"
      "#include <cstdint>\n"
      "#include <span>\n\n"
      "#include \"protocol/VersionText.h\"\n\n"
      "namespace {\n"
      "alignas(4) constexpr std::uint8_t kVersionResource[] = {";
  for (std::size_t i = 0; i < blob.size(); ++i) {
    if (i % 12 == 0) out += "\n   ";
    char byte[8];
    std::snprintf(byte, sizeof byte, " 0x%02x,", blob[i]);
    out += byte;
  }
  out +=
      "\n};\n"
      "}  // namespace\n\n"
      "std::span<const std::uint8_t> uv::protocol::ProgramVersionResource() {\n"
      "  return kVersionResource;\n"
      "}\n";
  return out;
}

}  // namespace uv::protocol
