// Whole-file reads and writes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tw {

// Reads the whole file. Returns false and sets *error (naming the file) when it
// cannot be read; a missing file sets *missing.
bool ReadWholeFile(const std::filesystem::path& path, std::string* bytes, std::string* error,
                   bool* missing = nullptr);

// Writes bytes to a temporary file beside path, flushes it to the disk and
// renames it over path, keeping the old file's permissions. Either the old or the
// new contents are on disk at every moment. On failure returns false, removes the
// temporary file and sets *error to a message naming path.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::string* error);

}  // namespace tw
