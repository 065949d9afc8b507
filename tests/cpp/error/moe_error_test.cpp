#include <cerrno>

#include <gtest/gtest.h>

#include "error/debug_quote.h"
#include "error/moe_error.h"

namespace varkel {
namespace {

TEST(MoEErrorTest, DisplayTextsCarryTheKindPrefixAndNothingElse) {
  EXPECT_EQ(MoEError::metal("interrupted").to_string(), "Metal error: interrupted");
  EXPECT_EQ(MoEError::config("not found: /x").to_string(), "Config error: not found: /x");
  EXPECT_EQ(MoEError::shader("conv1d_step kernel missing").to_string(),
            "Shader error: conv1d_step kernel missing");
  // An empty text leaves the prefix with its trailing blank.
  EXPECT_EQ(MoEError::config("").to_string(), "Config error: ");
  EXPECT_EQ(MoEError::metal("").kind(), MoEError::Kind::Metal);
  EXPECT_EQ(static_cast<int>(MoEError::Kind::Shader), 3);
}

TEST(MoEErrorTest, IoErrorsShowTheOsDescriptionThenTheCode) {
  const IoError not_found = IoError::from_os(ENOENT);
  EXPECT_EQ(not_found.kind(), IoErrorKind::NotFound);
  EXPECT_EQ(not_found.to_string(), "No such file or directory (os error 2)");
  const MoEError error = MoEError::io(IoError::custom(IoErrorKind::Other, "expert 3: " + not_found.to_string()));
  EXPECT_EQ(error.to_string(), "I/O error: expert 3: No such file or directory (os error 2)");
  ASSERT_NE(error.io_error(), nullptr);
  EXPECT_EQ(error.io_error()->kind(), IoErrorKind::Other);
  EXPECT_EQ(MoEError::config("x").io_error(), nullptr);
  // OS codes take the standard kinds; a code without one is Uncategorized, never Other.
  EXPECT_EQ(IoError::from_os(EISDIR).kind(), IoErrorKind::IsADirectory);
  EXPECT_EQ(IoError::from_os(ENOTDIR).kind(), IoErrorKind::NotADirectory);
  EXPECT_EQ(IoError::from_os(ENOSPC).kind(), IoErrorKind::StorageFull);
  EXPECT_EQ(IoError::from_os(EAGAIN).kind(), IoErrorKind::WouldBlock);
  EXPECT_EQ(IoError::from_os(EOPNOTSUPP).kind(), IoErrorKind::Uncategorized);
  EXPECT_EQ(IoError::from_os(EIO).kind(), IoErrorKind::Uncategorized);
}

TEST(MoEErrorTest, DebugFormsQuoteTheCarriedValue) {
  EXPECT_EQ(MoEError::config("a \"b\"").debug(), "Config(\"a \\\"b\\\"\")");
  EXPECT_EQ(MoEError::io(IoError::from_os(ENOENT)).debug(),
            "Io(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })");
  EXPECT_EQ(IoError::from_os(EISDIR).debug(), "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
  EXPECT_EQ(MoEError::io(IoError::custom(IoErrorKind::InvalidData, "bad")).debug(),
            "Io(Custom { kind: InvalidData, error: \"bad\" })");
}

TEST(DebugQuoteTest, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(debug_quoted(""), "\"\"");
  EXPECT_EQ(debug_quoted("Qwen"), "\"Qwen\"");
  EXPECT_EQ(debug_quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_quoted(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
  EXPECT_EQ(debug_quoted("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
  // Printable non-ASCII stays as it is; a zero-width space does not.
  EXPECT_EQ(debug_quoted("é"), "\"é\"");
  EXPECT_EQ(debug_quoted("\xE2\x80\x8B"), "\"\\u{200b}\"");
  // Non-ASCII blanks, combining marks, private use and tags are escaped; U+FFFD is not.
  EXPECT_EQ(debug_quoted("a\u00A0b\u3000"), "\"a\\u{a0}b\\u{3000}\"");
  EXPECT_EQ(debug_quoted("e\u0301\uFE0F"), "\"e\\u{301}\\u{fe0f}\"");
  EXPECT_EQ(debug_quoted("\U000F0000\U000E0041\uFFFF\uFFFD"), "\"\\u{f0000}\\u{e0041}\\u{ffff}\uFFFD\"");
}

TEST(DebugQuoteTest, ListsSeparateElementsWithCommaAndBlank) {
  EXPECT_EQ(debug_list({}), "[]");
  EXPECT_EQ(debug_list({"A", "B\n"}), "[\"A\", \"B\\n\"]");
}

}  // namespace
}  // namespace varkel
