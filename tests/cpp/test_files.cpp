#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "porcelain/files.hpp"

namespace {

std::string temp_file(const std::string& content) {
  char name[] = "/tmp/qb_files_XXXXXX";
  const int fd = mkstemp(name);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  close(fd);
  return name;
}

TEST(ReadTextFile, ReadsWholeFile) {
  std::string content(200000, 'x');
  content += "(\u00e9,B);";
  const std::string path = temp_file(content);
  auto got = qb::read_text_file(path);
  ASSERT_TRUE(got.ok()) << got.error();
  EXPECT_EQ(*got, content);
  std::remove(path.c_str());
}

TEST(ReadTextFile, Failures) {
  EXPECT_EQ(qb::read_text_file("/nonexistent/dir/x.tre").error(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(qb::read_text_file("/tmp").error(), "Is a directory (os error 21)");
  EXPECT_EQ(qb::read_text_file(std::string("a\0b", 3)).error(),
            "file name contained an unexpected NUL byte");
  const std::string path = temp_file("(A,\xff);");
  EXPECT_EQ(qb::read_text_file(path).error(), "stream did not contain valid UTF-8");
  std::remove(path.c_str());
}

TEST(Utf8, Validation) {
  EXPECT_TRUE(qb::is_valid_utf8(""));
  EXPECT_TRUE(qb::is_valid_utf8("abc \u00e9 \u4e2d \U0001F600"));
  EXPECT_FALSE(qb::is_valid_utf8("\xc3"));            // cut short
  EXPECT_FALSE(qb::is_valid_utf8("\xc0\x80"));        // overlong
  EXPECT_FALSE(qb::is_valid_utf8("\xe0\x80\x80"));    // overlong
  EXPECT_FALSE(qb::is_valid_utf8("\xed\xa0\x80"));    // surrogate
  EXPECT_FALSE(qb::is_valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(qb::is_valid_utf8("\x80"));
  EXPECT_TRUE(qb::is_valid_utf8("\xf4\x8f\xbf\xbf"));
}

}  // namespace
