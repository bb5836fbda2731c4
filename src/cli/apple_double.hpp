#pragma once
// macOS keeps a file's resource fork and attributes, on disks that cannot hold
// them, in an AppleDouble file "._name" beside it. Copied folders are full of
// them, and they carry the audio's name: no music, and no damage either.

#include <string_view>

namespace framelint::cli {

// Whether the file open at fd, found under path, is such a file: its name
// begins with "._" and its content with the AppleDouble magic 00 05 16 07.
// Reads four bytes at offset 0 without moving the descriptor.
bool is_apple_double(int fd, std::string_view path);

}  // namespace framelint::cli
