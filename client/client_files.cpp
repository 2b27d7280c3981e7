// File and text helpers shared by the packet filter, the accept filter and the statistics export.
#include "client/client_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace client {

std::string ExecutableFolder() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || !exe.has_parent_path()) return ".";
    return exe.parent_path().string();
}

std::string SettingsPath(std::string_view text) {
    std::string path(text);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    if (folder.empty() || (!name.empty() && name.front() == '/')) return std::string(name);
    std::string path(folder);
    if (path.back() != '/') path += '/';
    path += name;
    return path;
}

std::string TrimText(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return std::string(text.substr(begin, end - begin));
}

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

ReadLinesResult ReadTextLines(const std::string& path, std::vector<std::string>* lines,
                              std::string* error) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return ReadLinesResult::kMissing;

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = std::strerror(errno);
        return ReadLinesResult::kReadError;
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        if (error) *error = std::strerror(errno);
        return ReadLinesResult::kReadError;
    }

    std::string_view rest(content);
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
    std::vector<std::string> result;
    while (!rest.empty()) {
        std::size_t end = rest.find_first_of("\r\n");
        if (end == std::string_view::npos) {
            result.emplace_back(rest);
            break;
        }
        result.emplace_back(rest.substr(0, end));
        std::size_t next = end + 1;
        if (rest[end] == '\r' && next < rest.size() && rest[next] == '\n') ++next;
        rest.remove_prefix(next);
    }
    *lines = std::move(result);
    return ReadLinesResult::kOk;
}

}  // namespace client
