#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// a fresh directory per test, removed afterwards
class log_temp_dir {
public:
    log_temp_dir()
    {
        char tmpl[] = "/tmp/orlix-log-test.XXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~log_temp_dir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::vector<std::string> read_lines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

inline void write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}
