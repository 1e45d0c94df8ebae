// Small file helpers shared by the settings, language and log code. Paths are UTF-8, native
// separators ('/').
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ks {

// True when the path names an existing folder.
bool FolderExists(const std::string& path);

// Creates the folder and every missing parent, one level at a time. True when the whole
// chain exists afterwards (already existing folders are fine).
bool CreateFolderChain(const std::string& folder);

// Removes one trailing separator (never the root's).
std::string WithoutTrailingSeparator(std::string folder);

enum class ReadStatus { Ok, NotFound, Unreadable, TooLarge };

// Reads a whole file, refusing files larger than maxBytes.
ReadStatus ReadWholeFile(const std::string& path, std::size_t maxBytes, std::string& out);

// Replaces the file's contents atomically: the bytes go to a temporary file beside it (with the
// old file's mode, and its owner where the process may set it), which is flushed and renamed over
// it, and the folder is flushed so that the rename survives a power cut. A symbolic link is
// resolved first: the file it leads to is replaced, the link stays. Never writes the target in
// place. True when all bytes were written and renamed.
bool ReplaceFileAtomically(const std::string& path, std::string_view bytes);

// As ReplaceFileAtomically, but falls back to truncating the target in place when no temporary
// file can be made beside it (a folder the operator may not write, a file he may).
bool ReplaceFileContents(const std::string& path, std::string_view bytes);

enum class AppendStatus { Appended, OpenFailed, WriteFailed };

// Opens the file for appending, creating it when absent; a newly created file first receives
// headerIfNew. Partial writes are continued; the file is closed before returning.
AppendStatus AppendToFile(const std::string& path, std::string_view headerIfNew,
                          std::string_view bytes);

}  // namespace ks
