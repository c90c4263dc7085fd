#pragma once
// Whole-file reading of tree files: the file is opened, read to the end and
// closed within one call, whatever happens, and its bytes must be UTF-8.
#include <string>
#include <string_view>

#include "tree/failure.hpp"

namespace qb {

// The whole content of the file at `path` (UTF-8, taken as given, no BOM
// handling). The error is the description alone, for the caller to prefix:
//   "<strerror text> (os error <errno>)"       for a failure the OS reports
//   "file name contained an unexpected NUL byte" for a path holding a NUL
//   "stream did not contain valid UTF-8"         for content that is not UTF-8
// A directory opens and then fails on read with EISDIR, as the OS reports it.
// A read interrupted by a signal calls the interrupt hook, then goes on.
Result<std::string> read_text_file(std::string_view path);

// Called when opening or reading a file is interrupted by a signal, before
// the call is retried. The binding layer runs the interpreter's signal
// handlers here and throws to end the read when one of them raised, so that
// a read that would wait forever (a pipe whose writer never writes) can be
// stopped. None set: the call is retried.
using InterruptHook = void (*)();
void set_interrupt_hook(InterruptHook hook) noexcept;

}  // namespace qb
