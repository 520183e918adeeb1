// File system operations the logic needs; paths are UTF-8 text.
#pragma once

#include <string>
#include <string_view>

namespace brenmoor::platform {

// Creates the folder and any missing parents; failures (including "exists") are ignored.
void create_directories(std::string_view path);

// Opens the file for appending (created when missing; sharing read, write and delete
// on Windows), writes the bytes, closes it. False when the open or the write failed.
bool append_to_file(std::string_view path, std::string_view bytes);

}  // namespace brenmoor::platform
