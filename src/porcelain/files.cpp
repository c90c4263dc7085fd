#include "files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "tree/stored_form.hpp"

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

std::atomic<InterruptHook> g_interrupt_hook{nullptr};

// True when a call that failed with errno should be made again.
bool interrupted() {
  if (errno != EINTR) return false;
  if (InterruptHook hook = g_interrupt_hook.load(std::memory_order_acquire)) hook();
  return true;
}

}  // namespace

void set_interrupt_hook(InterruptHook hook) noexcept { g_interrupt_hook.store(hook, std::memory_order_release); }

Result<std::string> read_text_file(std::string_view path) {
  if (path.find('\0') != std::string_view::npos)
    return Error{"file name contained an unexpected NUL byte"};
  const std::string c_path(path);
  FileDescriptor file{-1};
  while ((file.fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC)) < 0)
    if (!interrupted()) return os_error(errno);

  // The size is only a hint (files that grow, or report 0 like /proc files,
  // are read to the end anyway); one byte more lets the last read see the end.
  struct stat info {};
  size_t capacity = 1 << 16;
  if (::fstat(file.fd, &info) == 0 && info.st_size > 0) capacity = static_cast<size_t>(info.st_size) + 1;

  std::string content(capacity, '\0');
  size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2);
    const ssize_t got = ::read(file.fd, content.data() + used, content.size() - used);
    if (got > 0) {
      used += static_cast<size_t>(got);
    } else if (got == 0) {
      break;
    } else if (!interrupted()) {
      return os_error(errno);
    }
  }
  content.resize(used);
  if (!utf8_error(content).empty()) return Error{"stream did not contain valid UTF-8"};
  return content;
}

}  // namespace qb
