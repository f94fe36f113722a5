// A temporary directory that removes itself, with helpers to lay out Config and html.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace tarvik::test {

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvik-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }

    void Write(const std::string& relPath, const std::string& contents) const {
        const auto full = std::filesystem::path(path_ + relPath);
        std::filesystem::create_directories(full.parent_path());
        std::ofstream(full, std::ios::binary) << contents;
    }
    std::string Read(const std::string& relPath) const {
        std::ifstream in(path_ + relPath, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    bool Exists(const std::string& relPath) const {
        return std::filesystem::exists(path_ + relPath);
    }

    // A complete, valid configuration; `overrides` replaces single files.
    void WriteConfig(const std::map<std::string, std::string>& overrides = {}) const {
        std::map<std::string, std::string> files = {
            {"/Config/Lpt.ini", "378\r\n"},      {"/Config/Middlestep.ini", "0\r\n"},
            {"/Config/MaxStep.ini", "200\r\n"},  {"/Config/MinStep.ini", "-200\r\n"},
            {"/Config/totalsteps.ini", "0\r\n"}, {"/Config/StepCount.ini", "1\r\n"},
            {"/Config/BigStep.ini", "50\r\n"},   {"/Config/Port.ini", "0\r\n"},
        };
        for (const auto& [file, text] : overrides) files[file] = text;
        for (const auto& [file, text] : files) {
            if (text != "<missing>") Write(file, text);
            if (text == "<missing>") std::filesystem::remove(path_ + file);
        }
    }

    void WritePages() const {
        for (const char* name :
             {"Left", "Right", "MaxLeft", "Maxright", "Index", "Reset", "NoReset"}) {
            Write(std::string("/html/") + name + ".html", std::string("page ") + name);
        }
    }

  private:
    std::string path_;
};

}  // namespace tarvik::test
