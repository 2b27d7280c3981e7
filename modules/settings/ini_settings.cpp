// Settings object over one INI section: SimpleIni holds the file, a map the declared defaults.
#include "modules/settings/ini_settings.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <system_error>

namespace kvconfig {

namespace {

namespace fs = std::filesystem;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Reads the whole file; nullopt when it cannot be read.
std::optional<std::string> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return std::move(content).str();
}

bool WriteFileAtomically(const fs::path& path, const std::string& text) {
    std::error_code ec;
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), ec);
        if (ec) return false;
    }
    fs::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            fs::remove(temporary, ec);
            return false;
        }
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

}  // namespace

bool IniSettings::NoCaseLess::operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

IniSettings::IniSettings() : ini_(false, false, false) {
    ini_.SetSpaces(false);
}

std::optional<int> IniSettings::ParseInt(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::string_view view = Trim(text);
    std::string digits(view);
    const char* p = digits.c_str();
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int base = 10;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    unsigned long long magnitude = std::strtoull(p, &end, base);
    if (errno == ERANGE || end == p || *end != '\0') return std::nullopt;
    long long value = 0;
    if (negative) {
        if (magnitude > static_cast<unsigned long long>(INT_MAX) + 1) return std::nullopt;
        value = -static_cast<long long>(magnitude);
    } else {
        if (magnitude > static_cast<unsigned long long>(INT_MAX)) return std::nullopt;
        value = static_cast<long long>(magnitude);
    }
    return static_cast<int>(value);
}

std::optional<bool> IniSettings::ParseBool(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::string word(Trim(text));
    static constexpr const char* kYes[] = {"1", "true", "yes", "on", "t", "y"};
    static constexpr const char* kNo[] = {"0", "false", "no", "off", "f", "n"};
    for (const char* yes : kYes) {
        if (strcasecmp(word.c_str(), yes) == 0) return true;
    }
    for (const char* no : kNo) {
        if (strcasecmp(word.c_str(), no) == 0) return false;
    }
    return std::nullopt;
}

bool IniSettings::IsWellFormed(const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    std::string_view rest(text);
    if (rest.substr(0, kUtf8Bom.size()) == kUtf8Bom) rest.remove_prefix(kUtf8Bom.size());
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = Trim(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#') continue;
        if (line.front() == '[') {
            if (line.size() < 2 || line.back() != ']') return false;
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || Trim(line.substr(0, equals)).empty()) return false;
    }
    return true;
}

bool IniSettings::open(const char* fileName, const char* section) {
    std::unique_lock lock(mutex_);
    ini_.Reset();
    fileName_ = fileName != nullptr ? fileName : "";
    path_ = fileName_;
    std::replace(path_.begin(), path_.end(), '\\', '/');
    section_ = section != nullptr ? section : "";
    if (path_.empty()) return false;

    std::error_code ec;
    fs::file_status status = fs::status(path_, ec);
    if (status.type() == fs::file_type::not_found) return true;  // a missing file reads as empty
    if (ec || status.type() != fs::file_type::regular) return false;
    std::optional<std::string> content = ReadFile(path_);
    if (!content || !IsWellFormed(*content)) return false;
    std::string_view data(*content);
    if (data.substr(0, kUtf8Bom.size()) == kUtf8Bom) data.remove_prefix(kUtf8Bom.size());
    if (ini_.LoadData(data.data(), data.size()) < 0) {
        ini_.Reset();
        return false;
    }
    return true;
}

bool IniSettings::save() {
    std::unique_lock lock(mutex_);
    if (path_.empty()) return false;
    std::string current;
    if (ini_.Save(current) < 0) return false;
    // The declared defaults go into a copy, so that the object itself keeps telling file values
    // and defaults apart.
    CSimpleIniA out(false, false, false);
    out.SetSpaces(false);
    if (out.LoadData(current) < 0) return false;
    out.SetValue(section_.c_str(), nullptr, nullptr);
    for (const std::string& key : defaultOrder_) {
        if (out.GetValue(section_.c_str(), key.c_str(), nullptr) == nullptr) {
            out.SetValue(section_.c_str(), key.c_str(), defaults_.at(key).c_str());
        }
    }
    std::string text;
    if (out.Save(text) < 0) return false;
    return WriteFileAtomically(path_, text);
}

const char* IniSettings::lookup(const char* key) const {
    const char* value = ini_.GetValue(section_.c_str(), key, nullptr);
    if (value != nullptr) return value;
    auto found = defaults_.find(key);
    return found != defaults_.end() ? found->second.c_str() : nullptr;
}

bool IniSettings::getBool(const char* key, bool fallback) {
    if (key == nullptr) return fallback;
    std::shared_lock lock(mutex_);
    if (auto value = ParseBool(ini_.GetValue(section_.c_str(), key, nullptr))) return *value;
    if (auto found = defaults_.find(key); found != defaults_.end()) {
        if (auto value = ParseBool(found->second.c_str())) return *value;
    }
    return fallback;
}

int IniSettings::getInt(const char* key, int fallback) {
    if (key == nullptr) return fallback;
    std::shared_lock lock(mutex_);
    if (auto value = ParseInt(ini_.GetValue(section_.c_str(), key, nullptr))) return *value;
    if (auto found = defaults_.find(key); found != defaults_.end()) {
        if (auto value = ParseInt(found->second.c_str())) return *value;
    }
    return fallback;
}

const char* IniSettings::getString(const char* key, const char* fallback) {
    std::unique_lock lock(mutex_);
    const char* value = key != nullptr ? lookup(key) : nullptr;
    std::string text = value != nullptr ? value : fallback != nullptr ? fallback : "";
    auto& texts = handedOut_[key != nullptr ? key : ""];
    auto same = std::find_if(texts.rbegin(), texts.rend(),
                             [&](const std::unique_ptr<std::string>& t) { return *t == text; });
    if (same != texts.rend()) return (*same)->c_str();
    texts.push_back(std::make_unique<std::string>(std::move(text)));
    return texts.back()->c_str();
}

void IniSettings::store(const char* key, const char* value) {
    if (key == nullptr || *key == '\0') return;
    std::unique_lock lock(mutex_);
    ini_.SetValue(section_.c_str(), key, value != nullptr ? value : "");
}

void IniSettings::setBool(const char* key, bool value) {
    store(key, value ? "1" : "0");
}
void IniSettings::setString(const char* key, const char* value) {
    store(key, value);
}
void IniSettings::setInt(const char* key, int value) {
    store(key, std::to_string(value).c_str());
}

void IniSettings::declare(const char* key, std::string value) {
    if (key == nullptr || *key == '\0') return;
    std::unique_lock lock(mutex_);
    auto [it, inserted] = defaults_.insert_or_assign(key, std::move(value));
    if (inserted) defaultOrder_.push_back(it->first);
}

void IniSettings::defaultBool(const char* key, bool value) {
    declare(key, value ? "1" : "0");
}
void IniSettings::defaultInt(const char* key, int value) {
    declare(key, std::to_string(value));
}
void IniSettings::defaultString(const char* key, const char* value) {
    declare(key, value != nullptr ? value : "");
}

const char* IniSettings::fileName() {
    std::shared_lock lock(mutex_);
    return fileName_.c_str();
}

}  // namespace kvconfig
