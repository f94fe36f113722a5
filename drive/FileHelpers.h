// Whole-file read and write for the configuration and page files.
#pragma once

#include <string>
#include <string_view>

namespace tarvik {

// The whole content of an existing regular file, byte for byte. A missing file, a
// directory or any read failure gives empty text; nothing is reported.
std::string ReadFileContents(const std::string& FileFullPath);

// Replaces the content of an existing regular file with `Contents` and a CR LF. A missing
// file is not created. The new content goes to a temporary file in the same directory
// that is then renamed over the old one with the old permissions, so a crash or a full
// disk leaves either the old or the new content, never a truncated file.
// Returns false when nothing was written.
bool WriteFileContents(const std::string& FileFullPath, std::string_view Contents);

}  // namespace tarvik
