// A temporary directory that removes itself, with helpers to lay out Config and html.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace tarvik::test {

class TempDir {
  public:
    explicit TempDir(const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
        std::string pattern = (parent / "tarvik-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_ + "/Config", std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    void Write(const std::string& relPath, const std::string& contents) const {
        std::filesystem::create_directories(std::filesystem::path(path_ + relPath).parent_path());
        std::ofstream(path_ + relPath, std::ios::binary) << contents;
    }
    std::string Read(const std::string& relPath) const {
        std::ifstream in(path_ + relPath, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // A complete, valid configuration; `overrides` replaces single files ("<missing>":
    // the file is removed).
    void WriteConfig(const std::map<std::string, std::string>& overrides = {}) const {
        std::map<std::string, std::string> files = {
            {"/Config/Lpt.ini", "378\r\n"},      {"/Config/Middlestep.ini", "0\r\n"},
            {"/Config/MaxStep.ini", "200\r\n"},  {"/Config/MinStep.ini", "-200\r\n"},
            {"/Config/totalsteps.ini", "0\r\n"}, {"/Config/StepCount.ini", "1\r\n"},
            {"/Config/BigStep.ini", "50\r\n"},   {"/Config/Port.ini", "0\r\n"},
        };
        for (const auto& [file, text] : overrides) files[file] = text;
        for (const auto& [file, text] : files) {
            if (text == "<missing>") {
                std::filesystem::remove(path_ + file);
            } else {
                Write(file, text);
            }
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
