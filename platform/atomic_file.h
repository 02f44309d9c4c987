// Whole-file reads and writes.
#pragma once

#include <chrono>
#include <filesystem>
#include <initializer_list>
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

// Whether `entry` is a temporary file name WriteFileAtomically makes for `name`
// (".name.XXXXXX").
bool IsTemporaryOf(std::string_view entry, std::string_view name);

// Removes the temporary files a save killed half-way left in `folder`: those of
// `names`, regular files of this user's, unchanged for longer than `age` (a save
// that is running now is younger). Returns how many were removed.
int RemoveStaleTemporaries(const std::filesystem::path& folder,
                           std::initializer_list<std::string_view> names, std::chrono::seconds age);

}  // namespace tw
