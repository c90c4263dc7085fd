#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qb {

namespace {

Error os_error(int code) {
  std::string text = std::strerror(code);
  text += " (os error ";
  text += std::to_string(code);
  text += ')';
  return Error{std::move(text)};
}

// Closes the descriptor on every path out of read_text_file.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

Result<std::string> read_text_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos)
    return Error{"file name contained an unexpected NUL byte"};
  const std::string c_path(path);
  FileDescriptor file{::open(c_path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) return os_error(errno);

  std::string content;
  struct stat info {};
  // The size is only a hint: files that grow or report 0 (pipes, /proc) are read to the end anyway.
  if (::fstat(file.fd, &info) == 0 && info.st_size > 0)
    content.reserve(static_cast<size_t>(info.st_size));

  char buffer[1 << 16];
  for (;;) {
    const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
    if (got > 0) {
      content.append(buffer, static_cast<size_t>(got));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      return os_error(errno);
    }
  }
  if (!is_valid_utf8(content)) return Error{"stream did not contain valid UTF-8"};
  return content;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* const end = p + bytes.size();
  while (p < end) {
    const unsigned char b = *p;
    if (b < 0x80) {
      ++p;
      continue;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      if (b == 0xE0) lo = 0xA0;  // no overlongs
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      if (b == 0xF0) lo = 0x90;  // no overlongs
      if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= need) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t k = 2; k <= need; ++k)
      if ((p[k] & 0xC0) != 0x80) return false;
    p += need + 1;
  }
  return true;
}

}  // namespace qb
