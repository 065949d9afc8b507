// Library compilation: parse the kernel declarations of the source text and
// link each to the implementation of the same name.

#include <fmt/format.h>

#include <cctype>
#include <map>
#include <mutex>

#include "metal/linked_kernel.h"
#include "metal/metal.h"

namespace varkel::metal {

struct LibraryContents {
  std::vector<std::shared_ptr<const LinkedKernel>> kernels;  // source order
  std::map<std::string, int64_t, std::less<>> constants;
};

namespace {

const std::vector<KernelImpl>& implementations() {
  static const std::vector<KernelImpl> all = [] {
    std::vector<KernelImpl> out;
    append_matvec_kernels(out);
    append_attention_kernels(out);
    append_linear_attention_kernels(out);
    append_norm_and_combine_kernels(out);
    return out;
  }();
  return all;
}

const KernelImpl* find_implementation(std::string_view name) {
  for (const auto& impl : implementations()) {
    if (impl.name == name) return &impl;
  }
  return nullptr;
}

struct ElementName {
  std::string_view text;
  ElementType type;
};
constexpr ElementName kElementNames[] = {
    {"float", ElementType::Float},   {"uint", ElementType::Uint}, {"int", ElementType::Int},
    {"ushort", ElementType::Ushort}, {"char", ElementType::Char}, {"uchar", ElementType::Uchar},
};

std::string_view element_name(ElementType type) {
  for (const auto& e : kElementNames) {
    if (e.type == type) return e.text;
  }
  return "?";
}

std::string describe(const KernelParam& p) {
  if (p.kind == ParamKind::Constant) return fmt::format("constant {}& [[buffer({})]]", element_name(p.type), p.index);
  return fmt::format("device {}{}* [[buffer({})]]", p.writable ? "" : "const ", element_name(p.type), p.index);
}

std::string describe(const std::vector<KernelParam>& params) {
  std::string out;
  for (const auto& p : params) {
    if (!out.empty()) out += ", ";
    out += describe(p);
  }
  return "(" + out + ")";
}

bool same_params(const std::vector<KernelParam>& a, const std::vector<KernelParam>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].kind != b[i].kind || a[i].type != b[i].type || a[i].writable != b[i].writable ||
        a[i].index != b[i].index) {
      return false;
    }
  }
  return true;
}

struct Token {
  enum Kind { Identifier, Integer, Punct, End } kind;
  std::string_view text;
  int line;
  int column;
};

class Parser {
 public:
  explicit Parser(std::string_view source) : src_(source) {}

  // Fills `contents`; on a fault returns the diagnostic.
  std::optional<std::string> parse(LibraryContents& contents) {
    for (;;) {
      if (auto err = next()) return err;
      if (tok_.kind == Token::End) return std::nullopt;
      if (is("constant")) {
        if (auto err = parse_constant(contents)) return err;
      } else if (is("kernel")) {
        if (auto err = parse_kernel(contents)) return err;
      } else {
        return error_here(fmt::format("expected 'kernel' or 'constant', found '{}'", tok_.text));
      }
    }
  }

 private:
  bool is(std::string_view text) const { return tok_.kind != Token::End && tok_.text == text; }

  std::string error_at(int line, int column, std::string_view what) const {
    return fmt::format("program_source:{}:{}: error: {}", line, column, what);
  }
  std::string error_here(std::string_view what) const { return error_at(tok_.line, tok_.column, what); }
  std::string found() const { return tok_.kind == Token::End ? "end of source" : fmt::format("'{}'", tok_.text); }

  // Advances to the next token, skipping blanks and comments.
  std::optional<std::string> next() {
    if (pending_) {
      pending_ = false;
      return std::nullopt;
    }
    for (;;) {
      while (pos_ < src_.size() && std::isspace(static_cast<unsigned char>(src_[pos_]))) advance();
      if (src_.compare(pos_, 2, "//") == 0) {
        while (pos_ < src_.size() && src_[pos_] != '\n') advance();
        continue;
      }
      if (src_.compare(pos_, 2, "/*") == 0) {
        int line = line_, column = column_;
        advance();
        advance();
        while (pos_ < src_.size() && src_.compare(pos_, 2, "*/") != 0) advance();
        if (pos_ >= src_.size()) return error_at(line, column, "unterminated comment");
        advance();
        advance();
        continue;
      }
      break;
    }
    tok_.line = line_;
    tok_.column = column_;
    if (pos_ >= src_.size()) {
      tok_.kind = Token::End;
      tok_.text = {};
      return std::nullopt;
    }
    std::size_t start = pos_;
    unsigned char c = static_cast<unsigned char>(src_[pos_]);
    if (std::isalpha(c) || c == '_') {
      while (pos_ < src_.size() &&
             (std::isalnum(static_cast<unsigned char>(src_[pos_])) || src_[pos_] == '_')) {
        advance();
      }
      tok_.kind = Token::Identifier;
    } else if (std::isdigit(c)) {
      while (pos_ < src_.size() && std::isalnum(static_cast<unsigned char>(src_[pos_]))) advance();
      tok_.kind = Token::Integer;
    } else if (std::string_view("()[],;*&=-").find(static_cast<char>(c)) != std::string_view::npos) {
      advance();
      tok_.kind = Token::Punct;
    } else {
      advance();
      tok_.text = src_.substr(start, 1);
      return error_here(fmt::format("unexpected character '{}'", tok_.text));
    }
    tok_.text = src_.substr(start, pos_ - start);
    return std::nullopt;
  }

  void advance() {
    if (src_[pos_] == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    ++pos_;
  }

  std::optional<std::string> expect(std::string_view text) {
    if (auto err = next()) return err;
    if (!is(text)) return error_here(fmt::format("expected '{}', found {}", text, found()));
    return std::nullopt;
  }

  std::optional<std::string> expect_identifier(std::string_view what, std::string_view& out) {
    if (auto err = next()) return err;
    if (tok_.kind != Token::Identifier) return error_here(fmt::format("expected {}, found {}", what, found()));
    out = tok_.text;
    return std::nullopt;
  }

  // An unsigned decimal integer of at most `max`.
  std::optional<std::string> expect_integer(uint64_t max, uint64_t& out) {
    if (auto err = next()) return err;
    if (tok_.kind != Token::Integer) return error_here(fmt::format("expected an integer, found {}", found()));
    uint64_t value = 0;
    for (char ch : tok_.text) {
      if (!std::isdigit(static_cast<unsigned char>(ch))) {
        return error_here(fmt::format("invalid integer '{}'", tok_.text));
      }
      value = value * 10 + static_cast<uint64_t>(ch - '0');
      if (value > max) return error_here(fmt::format("integer '{}' is out of range", tok_.text));
    }
    out = value;
    return std::nullopt;
  }

  std::optional<std::string> expect_type(ElementType& out) {
    if (auto err = next()) return err;
    for (const auto& e : kElementNames) {
      if (is(e.text)) {
        out = e.type;
        return std::nullopt;
      }
    }
    return error_here(fmt::format("unknown type {}", found()));
  }

  // constant <type> NAME = [-]<integer>;
  std::optional<std::string> parse_constant(LibraryContents& contents) {
    ElementType type;
    std::string_view name;
    if (auto err = expect_type(type)) return err;
    if (auto err = expect_identifier("a constant name", name)) return err;
    int line = tok_.line, column = tok_.column;
    if (auto err = expect("=")) return err;
    if (auto err = next()) return err;
    bool negative = false;
    if (is("-")) {
      negative = true;
    } else {
      rewind_one();
    }
    uint64_t value = 0;
    if (auto err = expect_integer(uint64_t{1} << 40, value)) return err;
    if (auto err = expect(";")) return err;
    if (contents.constants.contains(name)) return error_at(line, column, fmt::format("redefinition of '{}'", name));
    contents.constants.emplace(std::string(name), negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value));
    return std::nullopt;
  }

  // kernel void <name>(<param>, ...);
  std::optional<std::string> parse_kernel(LibraryContents& contents) {
    if (auto err = expect("void")) return err;
    std::string_view name;
    if (auto err = expect_identifier("a kernel name", name)) return err;
    int line = tok_.line, column = tok_.column;
    if (auto err = expect("(")) return err;
    std::vector<KernelParam> params;
    std::vector<std::string_view> names;
    for (;;) {
      KernelParam p{};
      if (auto err = next()) return err;
      int param_line = tok_.line, param_column = tok_.column;
      if (is("device")) {
        p.kind = ParamKind::Buffer;
        if (auto err = next()) return err;
        p.writable = true;
        if (is("const")) {
          p.writable = false;
        } else {
          rewind_one();
        }
        if (auto err = expect_type(p.type)) return err;
        if (auto err = expect("*")) return err;
      } else if (is("constant")) {
        p.kind = ParamKind::Constant;
        p.writable = false;
        if (auto err = expect_type(p.type)) return err;
        if (auto err = expect("&")) return err;
      } else {
        return error_here(fmt::format("expected 'device' or 'constant', found {}", found()));
      }
      if (auto err = expect_identifier("a parameter name", p.name)) return err;
      uint64_t index = 0;
      if (auto err = expect("[")) return err;
      if (auto err = expect("[")) return err;
      if (auto err = expect("buffer")) return err;
      if (auto err = expect("(")) return err;
      if (auto err = expect_integer(kMaxBindingIndex, index)) return err;
      if (auto err = expect(")")) return err;
      if (auto err = expect("]")) return err;
      if (auto err = expect("]")) return err;
      p.index = static_cast<uint32_t>(index);
      for (const auto& q : params) {
        if (q.index == p.index) {
          return error_at(param_line, param_column,
                          fmt::format("'{}' and '{}' share buffer index {}", q.name, p.name, p.index));
        }
      }
      params.push_back(p);
      if (auto err = next()) return err;
      if (is(")")) break;
      if (!is(",")) return error_here(fmt::format("expected ',' or ')', found {}", found()));
    }
    if (auto err = expect(";")) return err;

    for (const auto& k : contents.kernels) {
      if (k->name == name) return error_at(line, column, fmt::format("redefinition of kernel '{}'", name));
    }
    const KernelImpl* impl = find_implementation(name);
    if (impl == nullptr) return error_at(line, column, fmt::format("kernel '{}' has no implementation", name));
    if (!same_params(params, impl->params)) {
      return error_at(line, column,
                      fmt::format("kernel '{}' is declared {} but its implementation takes {}", name,
                                  describe(params), describe(impl->params)));
    }
    auto linked = std::make_shared<LinkedKernel>();
    linked->name = std::string(name);
    linked->params = impl->params;
    linked->validate = impl->validate;
    linked->run = impl->run;
    linked->split = impl->split;
    contents.kernels.push_back(std::move(linked));
    return std::nullopt;
  }

  // Steps back over the token just read (one token of look-ahead).
  void rewind_one() { pending_ = true; }

  std::string_view src_;
  std::size_t pos_ = 0;
  int line_ = 1;
  int column_ = 1;
  Token tok_{Token::End, {}, 1, 1};
  bool pending_ = false;
};

}  // namespace

std::expected<LibraryPtr, std::string> Device::new_library_with_source(std::string_view source,
                                                                       const CompileOptions& options) {
  auto contents = std::make_shared<LibraryContents>();
  Parser parser(source);
  if (auto err = parser.parse(*contents)) return std::unexpected(std::move(*err));
  return LibraryPtr(new Library(std::move(contents), options));
}

std::expected<FunctionPtr, std::string> Library::new_function(std::string_view name) const {
  for (const auto& k : contents_->kernels) {
    if (k->name == name) return FunctionPtr(new Function(k));
  }
  return std::unexpected(fmt::format("Function {} was not found in the library", name));
}

std::vector<std::string> Library::function_names() const {
  std::vector<std::string> out;
  for (const auto& k : contents_->kernels) out.push_back(k->name);
  return out;
}

std::optional<int64_t> Library::constant_value(std::string_view name) const {
  auto it = contents_->constants.find(name);
  if (it == contents_->constants.end()) return std::nullopt;
  return it->second;
}

const std::string& Function::name() const { return linked_->name; }
const std::string& ComputePipelineState::name() const { return linked_->name; }

std::expected<ComputePipelineStatePtr, std::string> Device::new_compute_pipeline_state(const FunctionPtr& function) {
  if (!function) return std::unexpected(std::string("no function to build a pipeline from"));
  return ComputePipelineStatePtr(new ComputePipelineState(function->linked_));
}

}  // namespace varkel::metal
