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
Result<std::string> read_text_file(std::string_view path);

}  // namespace qb
