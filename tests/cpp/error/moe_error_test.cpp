#include <cerrno>

#include <gtest/gtest.h>

#include "error/debug_quote.h"
#include "error/moe_error.h"

namespace varkel {
namespace {

TEST(MoEErrorTest, DisplayTextsCarryTheKindPrefixAndTheOsDescription) {
  EXPECT_EQ(MoEError::metal("interrupted").to_string(), "Metal error: interrupted");
  EXPECT_EQ(MoEError::shader("k").to_string(), "Shader error: k");
  EXPECT_EQ(MoEError::config("").to_string(), "Config error: ");
  const IoError not_found = IoError::from_os(ENOENT);
  EXPECT_EQ(not_found.kind(), IoErrorKind::NotFound);
  const MoEError error = MoEError::io(IoError::custom(IoErrorKind::Other, "expert 3: " + not_found.to_string()));
  EXPECT_EQ(error.to_string(), "I/O error: expert 3: No such file or directory (os error 2)");
  ASSERT_NE(error.io_error(), nullptr);
  EXPECT_EQ(MoEError::config("x").io_error(), nullptr);
  // A code without a standard kind is Uncategorized, never Other.
  EXPECT_EQ(IoError::from_os(ENOSPC).kind(), IoErrorKind::StorageFull);
  EXPECT_EQ(IoError::from_os(EIO).kind(), IoErrorKind::Uncategorized);
}

TEST(MoEErrorTest, DebugFormsQuoteTheCarriedValue) {
  EXPECT_EQ(MoEError::config("a \"b\"").debug(), "Config(\"a \\\"b\\\"\")");
  EXPECT_EQ(MoEError::io(IoError::from_os(ENOENT)).debug(),
            "Io(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })");
  EXPECT_EQ(MoEError::io(IoError::custom(IoErrorKind::InvalidData, "bad")).debug(),
            "Io(Custom { kind: InvalidData, error: \"bad\" })");
}

TEST(DebugQuoteTest, EscapesQuotesBackslashesAndControlCharacters) {
  EXPECT_EQ(debug_quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_quoted(std::string("\t\r\n\0\x01\x7f", 6)), "\"\\t\\r\\n\\0\\u{1}\\u{7f}\"");
  // Printable non-ASCII stays; blanks, zero-width, combining marks and private use are escaped; U+FFFD is not.
  EXPECT_EQ(debug_quoted("é\xE2\x80\x8B\u00A0e\u0301\U000F0000\uFFFD"),
            "\"é\\u{200b}\\u{a0}e\\u{301}\\u{f0000}\uFFFD\"");
  EXPECT_EQ(debug_list({"A", "B\n"}), "[\"A\", \"B\\n\"]");
}

}  // namespace
}  // namespace varkel
