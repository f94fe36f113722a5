// Whole-file read and write for the configuration and page files.
#pragma once

#include <string>
#include <string_view>

namespace tarvik {

// A file's whole content, or why it could not be had.
struct FileText {
    std::string contents;
    std::string problem;   // empty when read: the reason otherwise
    bool missing = false;  // nothing at that path
};
FileText ReadFileText(const std::string& path);

// The whole content of an existing regular file, byte for byte. A missing file, a
// directory or any read failure gives empty text; nothing is reported.
std::string ReadFileContents(const std::string& path);

// How a save went, or would go.
struct SaveOutcome {
    bool saved = false;   // for a check: saving is possible
    bool atomic = false;  // through a temporary file and a rename
    std::string reason;   // why not saved, or why not atomic
};

// Replaces the content of an existing regular file with `contents` and a CR LF. A missing
// file is not created, and neither is a file written whose permission bits forbid it. A
// symbolic link is followed: its target is replaced and the link stays. The new content
// goes to a temporary file beside the target that is renamed over it with the old
// permissions, then the folder is flushed, so a crash, a full disk or a power cut leaves
// either the old or the new content. Where the folder takes no new file but the file is
// writable, the content is written into the file in place (`atomic` false).
SaveOutcome WriteFileContents(const std::string& path, std::string_view contents);

// What WriteFileContents would meet, without writing anything.
SaveOutcome CheckWritable(const std::string& path);

// "the position cannot be saved to "PATH": REASON", as start-up and the check say it.
std::string CannotSaveText(const std::string& what, const std::string& path,
                           const std::string& reason);
// "Saves of "PATH" are not atomic: REASON".
std::string NotAtomicText(const std::string& path, const std::string& reason);

// Closes a descriptor, or nothing for -1 (none). Keeps errno: callers report their own cause.
void CloseIfOpen(int fd);

}  // namespace tarvik
