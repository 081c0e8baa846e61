#include "zorvo/common/text.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <utility>

#include "zorvo/common/system_error.hpp"

namespace zorvo {
namespace {

TEST(TrimWhiteSpace, RemovesUnicodeWhiteSpaceAtBothEnds) {
    EXPECT_EQ(trim_white_space("  tcp \t\n"), "tcp");
    // U+3000 IDEOGRAPHIC SPACE, U+00A0 NO-BREAK SPACE, U+2028 LINE SEPARATOR, U+0085 NEXT LINE.
    EXPECT_EQ(trim_white_space("\xE3\x80\x80\xC2\xA0x y\xE2\x80\xA8\xC2\x85"), "x y");
    EXPECT_EQ(trim_white_space("\xE3\x80\x80 \xC2\xA0"), "");
    EXPECT_EQ(trim_white_space(""), "");
}

TEST(TrimWhiteSpace, KeepsCharactersWithoutTheProperty) {
    // U+200B ZERO WIDTH SPACE and U+FEFF are not White_Space; a multi-byte letter at the edge stays.
    EXPECT_EQ(trim_white_space("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");
    EXPECT_EQ(trim_white_space("\xEF\xBB\xBF"), "\xEF\xBB\xBF");
    EXPECT_EQ(trim_white_space(" \xC3\xA9 "), "\xC3\xA9");
}

TEST(AsciiLowercase, FoldsOnlyAsciiLetters) {
    EXPECT_EQ(ascii_lowercase("TcP-\xC3\x9C"), "tcp-\xC3\x9C");
}

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpart) {
    EXPECT_EQ(utf8_lossy("plain"), "plain");
    EXPECT_EQ(utf8_lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    // A truncated three-byte sequence is one replacement; a bad continuation ends it.
    EXPECT_EQ(utf8_lossy("\xE2\x82"), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8_lossy("\xE2\x82x"), "\xEF\xBF\xBDx");
    // Surrogates and overlong forms: every byte is its own replacement.
    EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(utf8_lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(utf8_lossy("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(utf8_lossy("\xF4\x90\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(SystemError, DisplayTextAndKind) {
    const SystemError refused = SystemError::from_errno(111);
    EXPECT_EQ(refused.kind(), ErrorKind::ConnectionRefused);
    EXPECT_EQ(refused.display(), "Connection refused (os error 111)");
    EXPECT_EQ(SystemError::from_errno(2).display(), "No such file or directory (os error 2)");
    EXPECT_EQ(SystemError::from_errno(32).kind(), ErrorKind::BrokenPipe);
    const SystemError own = SystemError::custom(ErrorKind::UnexpectedEof, "failed to fill whole buffer");
    EXPECT_EQ(own.display(), "failed to fill whole buffer");
    EXPECT_EQ(own.os_code(), 0);
}

TEST(SystemError, EveryErrnoKindThatHasItsOwnPythonException) {
    const std::pair<int, ErrorKind> table[] = {
        {EPIPE, ErrorKind::BrokenPipe},          {ECONNREFUSED, ErrorKind::ConnectionRefused},
        {ECONNABORTED, ErrorKind::ConnectionAborted}, {ECONNRESET, ErrorKind::ConnectionReset},
        {EINTR, ErrorKind::Interrupted},         {ENOENT, ErrorKind::NotFound},
        {EACCES, ErrorKind::PermissionDenied},   {EPERM, ErrorKind::PermissionDenied},
        {EEXIST, ErrorKind::AlreadyExists},      {EAGAIN, ErrorKind::WouldBlock},
        {ETIMEDOUT, ErrorKind::TimedOut},        {EMFILE, ErrorKind::Other},
        {EHOSTUNREACH, ErrorKind::Other},
    };
    for (const auto& [code, kind] : table) {
        EXPECT_EQ(error_kind_from_errno(code), kind) << code;
        EXPECT_EQ(SystemError::from_errno(code).display(),
                  platform_message(code) + " (os error " + std::to_string(code) + ")");
    }
}

}  // namespace
}  // namespace zorvo
