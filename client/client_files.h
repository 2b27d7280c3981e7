// Small file and text helpers of the client-side filters: the executable's folder, settings
// paths, trimming and reading a text file as a list of lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace client {

// The folder of /proc/self/exe, without a trailing "/"; "." when it cannot be read.
std::string ExecutableFolder();

// A path as written in the settings: "\" is read as "/".
std::string SettingsPath(std::string_view text);

// folder joined with name, with one "/" between them when needed. An absolute name is used as
// it is; an empty folder leaves the name alone.
std::string JoinPath(std::string_view folder, std::string_view name);

// Text without the leading and trailing characters up to and including the blank (bytes
// 0x00..0x20), the way operator-entered texts and addresses are trimmed.
std::string TrimText(std::string_view text);

// ASCII lower-case copy.
std::string LowerAscii(std::string_view text);

enum class ReadLinesResult { kOk, kMissing, kReadError };

// Reads a whole text file into lines. Lines end at CR LF, LF or CR; a final line end does not
// start another (empty) line, so an empty file has no lines. A leading UTF-8 byte order mark is
// dropped. kMissing when no regular file is at the path; kReadError (with the system's error
// text in *error) when it exists but cannot be read. *lines is only written on kOk.
ReadLinesResult ReadTextLines(const std::string& path, std::vector<std::string>* lines,
                              std::string* error);

}  // namespace client
