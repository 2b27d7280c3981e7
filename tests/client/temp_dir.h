// A temporary folder for one test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vev_client_XXXXXX").string();
        m_Path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_Path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_Path; }
    std::string file(const std::string& name) const { return m_Path + "/" + name; }

    // Writes content (bytes as given) to name in the folder and answers its path.
    std::string write(const std::string& name, const std::string& content) const {
        std::string path = file(name);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        return path;
    }

  private:
    std::string m_Path;
};
