// small readers of sysfs attribute files and folders

#include "ipc/sysfs_attr.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fnmatch.h>

bool ipc_sysfs_name_ok(std::string_view name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (unsigned char c : name) {
        if (c == '/' || c < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

bool ipc_sysfs_read_lines(const std::string& path, std::vector<std::string>& lines)
{
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr)
        return false;
    std::string line;
    char chunk[256];
    bool line_open = false;
    while (fgets(chunk, sizeof(chunk), file) != nullptr) {
        line.append(chunk);
        line_open = true;
        if (line.back() == '\n') {
            line.pop_back();
            lines.push_back(line);
            line.clear();
            line_open = false;
        }
    }
    if (line_open)
        lines.push_back(line);
    fclose(file);
    return true;
}

bool ipc_sysfs_read_line(const std::string& path, std::string& line)
{
    std::vector<std::string> lines;
    if (!ipc_sysfs_read_lines(path, lines))
        return false;
    line = lines.empty() ? std::string() : lines.front();
    return true;
}

bool ipc_sysfs_read_number(const std::string& path, int base, uint64_t& value)
{
    std::string line;
    if (!ipc_sysfs_read_line(path, line))
        return false;
    const char* text = line.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text, &end, base);
    if (end == text || errno == ERANGE)
        return false;
    value = parsed;
    return true;
}

bool ipc_sysfs_list(const std::string& dir, std::vector<std::string>& names)
{
    names.clear();
    DIR* folder = opendir(dir.c_str());
    if (folder == nullptr)
        return false;
    while (const dirent* entry = readdir(folder)) {
        std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    closedir(folder);
    return true;
}

bool ipc_sysfs_match(const std::string& dir, const std::string& pattern,
                     std::vector<std::string>& names)
{
    // one folder and one pattern over its names: the same answer as glob()
    // with GLOB_NOSORT, through the plain directory calls
    names.clear();
    std::vector<std::string> all;
    if (!ipc_sysfs_list(dir, all))
        return false;
    for (auto& name : all) {
        if (fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0)
            names.push_back(std::move(name));
    }
    return true;
}

std::string ipc_sysfs_pci_path(std::string_view bdf, std::string_view attr)
{
    std::string path(IPC_SYSFS_PCI_DEVICES);
    path.append(bdf);
    path.push_back('/');
    path.append(attr);
    return path;
}
