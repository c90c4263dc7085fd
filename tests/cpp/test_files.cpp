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
  for (const char* bad : {"(A,\xff);", "(A,\xed\xa0\x80);", "(A,\xc3"}) {
    const std::string path = temp_file(bad);
    EXPECT_EQ(qb::read_text_file(path).error(), "stream did not contain valid UTF-8") << bad;
    std::remove(path.c_str());
  }
}

TEST(ReadTextFile, FilesWithoutASize) {
  auto got = qb::read_text_file("/proc/self/status");
  ASSERT_TRUE(got.ok()) << got.error();
  EXPECT_NE(got->find("Name:"), std::string::npos);
}

}  // namespace
