// private folders reached by descriptor, checked component by component

#include "ipc/private_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include <fmt/format.h>

namespace {

constexpr int k_dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// deeper trees are refused rather than walked with one descriptor a level
constexpr int k_max_depth = 128;
const char* const k_fix = "remove it or choose another directory";

enum class rule { ancestor, private_folder };

std::vector<std::string> split(const std::string& path)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string part = path.substr(at, end - at);
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    return parts;
}

std::string join(const std::string& base, const std::string& name)
{
    return base == "/" ? "/" + name : base + "/" + name;
}

std::string owner_text()
{
    return geteuid() == 0 ? "root" : fmt::format("uid {}", geteuid());
}

// the reason the folder fails its rule, or "" when it passes
std::string folder_fault(const struct stat& st, rule r)
{
    if (S_ISLNK(st.st_mode)) {
        return "is a symbolic link";
    }
    if (!S_ISDIR(st.st_mode)) {
        return "is not a directory";
    }
    const bool mine = st.st_uid == geteuid();
    if (r == rule::private_folder ? !mine : !(mine || st.st_uid == 0)) {
        return fmt::format("is owned by uid {}, not by {}", st.st_uid, owner_text());
    }
    const bool sticky = (st.st_mode & S_ISVTX) != 0;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (r == rule::private_folder || !sticky)) {
        return fmt::format("can be written by other users (mode {:04o})", st.st_mode & 07777);
    }
    return "";
}

bool refuse(const std::string& path, const std::string& fault, rule r, std::string& error)
{
    error = fmt::format("Directory {} {}: {}; {}", path, fault,
                        r == rule::ancestor ? "it cannot hold a private directory" : "it is not a private directory",
                        k_fix);
    return false;
}

// one step down from parent (held open) to name: made when missing and
// create is set, opened without following a link, checked against the rule.
// the new descriptor, or -1 with error set
int step(int parent, const std::string& parent_path, const std::string& name, bool create, rule r,
         std::string& error)
{
    const std::string path = join(parent_path, name);
    struct stat st = {};
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT || !create) {
            error = fmt::format("Directory {} cannot be read, err - {}", path, strerror(errno));
            return -1;
        }
        if (mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
            error = fmt::format("Failed to create directory {}, err - {}", path, strerror(errno));
            return -1;
        }
    } else {
        std::string fault = folder_fault(st, r);
        if (!fault.empty()) {
            refuse(path, fault, r, error);
            return -1;
        }
    }
    int fd = openat(parent, name.c_str(), k_dir_flags);
    if (fd < 0) {
        // a link or a file put there since the look above
        refuse(path, errno == ELOOP || errno == ENOTDIR ? "is not a directory" : strerror(errno), r, error);
        return -1;
    }
    // the folder itself, as opened, decides
    if (fstat(fd, &st) != 0 || !folder_fault(st, r).empty()) {
        refuse(path, folder_fault(st, r), r, error);
        close(fd);
        return -1;
    }
    return fd;
}

bool walk(int start, const std::string& start_path, const std::vector<std::string>& parts, size_t strict_from,
          bool create, bool last_strict, int& fd_out, std::string& path_out, std::string& error)
{
    for (const auto& part : parts) {
        if (part == "..") {
            std::string full = start_path;
            for (const auto& q : parts) {
                full = join(full, q);
            }
            error = "Directory " + full + " holds \"..\": name the directory without it";
            return false;
        }
    }
    int fd = dup(start);
    std::string path = start_path;
    if (fd < 0) {
        error = fmt::format("Directory {} cannot be read, err - {}", path, strerror(errno));
        return false;
    }
    for (size_t i = 0; i < parts.size(); i++) {
        const bool last = i + 1 == parts.size();
        rule r = i >= strict_from || (last && last_strict) ? rule::private_folder : rule::ancestor;
        int next = step(fd, path, parts[i], create, r, error);
        close(fd);
        if (next < 0) {
            return false;
        }
        fd = next;
        path = join(path, parts[i]);
    }
    fd_out = fd;
    path_out = path;
    return true;
}

// "/" and the absolute form of path
bool root_walk(const std::string& raw, bool create, bool last_strict, int& fd, std::string& path,
               std::string& error)
{
    std::string absolute = raw;
    if (raw.empty()) {
        error = "No directory given: choose a directory";
        return false;
    }
    if (raw[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) == nullptr) {
            error = fmt::format("Directory {} cannot be found, err - {}", raw, strerror(errno));
            return false;
        }
        absolute = std::string(cwd) + "/" + raw;
    }
    int root = open("/", k_dir_flags);
    if (root < 0) {
        error = fmt::format("Directory / cannot be read, err - {}", strerror(errno));
        return false;
    }
    struct stat st = {};
    if (fstat(root, &st) != 0 || !folder_fault(st, rule::ancestor).empty()) {
        refuse("/", folder_fault(st, rule::ancestor), rule::ancestor, error);
        close(root);
        return false;
    }
    std::vector<std::string> parts = split(absolute);
    bool ok = walk(root, "/", parts, SIZE_MAX, create, last_strict, fd, path, error);
    close(root);
    return ok;
}

// names of a folder's entries but "." and ".."
bool entries(int fd, std::vector<std::string>& names)
{
    int copy = dup(fd);
    DIR* d = copy < 0 ? nullptr : fdopendir(copy);
    if (d == nullptr) {
        if (copy >= 0) {
            close(copy);
        }
        return false;
    }
    rewinddir(d);
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    return true;
}

bool remove_entry(int parent, dev_t dev, const std::string& parent_path, const std::string& name, int depth,
                  std::string& error);

bool empty_fd(int fd, dev_t dev, const std::string& path, int depth, std::string& error)
{
    std::vector<std::string> names;
    if (!entries(fd, names)) {
        error = fmt::format("Failed to read directory {}, err - {}", path, strerror(errno));
        return false;
    }
    for (const auto& name : names) {
        if (!remove_entry(fd, dev, path, name, depth, error)) {
            return false;
        }
    }
    return true;
}

bool remove_entry(int parent, dev_t dev, const std::string& parent_path, const std::string& name, int depth,
                  std::string& error)
{
    const std::string path = join(parent_path, name);
    struct stat st = {};
    if (fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        error = fmt::format("Failed to remove {}, err - {}", path, strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        if (st.st_dev != dev) {
            error = fmt::format("Failed to remove {}, a mount point: unmount it first", path);
            return false;
        }
        if (depth >= k_max_depth) {
            error = fmt::format("Failed to remove {}, nested too deep", path);
            return false;
        }
        int fd = openat(parent, name.c_str(), k_dir_flags);
        struct stat now = {};
        if (fd < 0 || fstat(fd, &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
            error = fmt::format("Failed to remove {}, it changed while being removed", path);
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
        bool ok = empty_fd(fd, dev, path, depth + 1, error);
        close(fd);
        if (!ok) {
            return false;
        }
    }
    if (unlinkat(parent, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 && errno != ENOENT) {
        error = fmt::format("Failed to remove {}, err - {}", path, strerror(errno));
        return false;
    }
    return true;
}

bool dir_dev(const private_dir& dir, dev_t& dev, std::string& error)
{
    struct stat st = {};
    if (!dir.ok() || fstat(dir.fd(), &st) != 0) {
        error = "Failed to read directory " + dir.path();
        return false;
    }
    dev = st.st_dev;
    return true;
}

// an existing file opened through fd may be used: a regular file of ours, one link
bool file_fits(const struct stat& st, const std::string& path, std::string& error)
{
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        error = fmt::format("File {} is not a regular file of {} with one link: remove it or choose another file",
                            path, owner_text());
        return false;
    }
    return true;
}

}  // namespace

private_dir::~private_dir()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

private_dir::private_dir(private_dir&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_))
{
    other.fd_ = -1;
}

private_dir& private_dir::operator=(private_dir&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = other.fd_;
        path_ = std::move(other.path_);
        other.fd_ = -1;
    }
    return *this;
}

bool private_dir_open(const std::string& path, bool create, private_dir& out, std::string& error)
{
    out = private_dir();
    return root_walk(path, create, true, out.fd_, out.path_, error);
}

bool output_dir_open(const std::string& path, private_dir& out, std::string& error)
{
    out = private_dir();
    return root_walk(path, false, false, out.fd_, out.path_, error);
}

bool private_dir_sub(const private_dir& base, const std::string& rel, bool create, private_dir& out,
                     std::string& error)
{
    out = private_dir();
    if (!base.ok()) {
        error = "Directory " + base.path() + " is not open";
        return false;
    }
    return walk(base.fd(), base.path(), split(rel), 0, create, true, out.fd_, out.path_, error);
}

bool private_dir_empty(const private_dir& dir, std::string& error)
{
    dev_t dev = 0;
    return dir_dev(dir, dev, error) && empty_fd(dir.fd(), dev, dir.path(), 0, error);
}

bool private_dir_list(const private_dir& dir, std::vector<std::string>& names)
{
    names.clear();
    return dir.ok() && entries(dir.fd(), names);
}

bool private_dir_remove(const private_dir& dir, const std::string& name, std::string& error)
{
    dev_t dev = 0;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        error = "Failed to remove " + join(dir.path(), name) + ", not a name in the directory";
        return false;
    }
    return dir_dev(dir, dev, error) && remove_entry(dir.fd(), dev, dir.path(), name, 0, error);
}

int private_dir_open_file(const private_dir& dir, const std::string& name, int flags, std::string& error)
{
    const std::string path = join(dir.path(), name);
    if (!dir.ok() || name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        error = "Failed to open file " + path + ", not a name in a checked directory";
        return -1;
    }
    // a link is named as such (the open below refuses it anyway, also one
    // put there in between, but some kernels word that as a permission error)
    struct stat st = {};
    if (fstatat(dir.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            error = "Failed to open file " + path + ", err - it is a symbolic link: remove it or choose another file";
            return -1;
        }
        if (!file_fits(st, path, error)) {
            return -1;
        }
    }
    // O_NONBLOCK: a fifo put in the way must not hold the caller
    int fd = openat(dir.fd(), name.c_str(), (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        error = fmt::format("Failed to open file {}, err - {}", path,
                            errno == ELOOP ? "it is a symbolic link: remove it or choose another file"
                                           : strerror(errno));
        return -1;
    }
    if (fstat(fd, &st) != 0 || !file_fits(st, path, error)) {
        close(fd);
        return -1;
    }
    // the file is checked before anything is cut off it
    if ((flags & O_TRUNC) != 0 && ftruncate(fd, 0) != 0) {
        error = fmt::format("Failed to open file {}, err - {}", path, strerror(errno));
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

static bool write_all(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

static void split_file_path(const std::string& path, std::string& dir, std::string& name)
{
    size_t slash = path.find_last_of('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

bool private_file_write(const std::string& path, const std::string& text, bool append, std::string& error)
{
    std::string dir_path, name;
    split_file_path(path, dir_path, name);
    private_dir dir;
    if (!private_dir_open(dir_path, false, dir, error)) {
        return false;
    }
    // O_TRUNC is applied once the file is checked
    int fd = private_dir_open_file(dir, name, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), error);
    if (fd < 0) {
        return false;
    }
    bool ok = write_all(fd, text);
    ok = close(fd) == 0 && ok;
    if (!ok) {
        error = fmt::format("Failed to write file {}, err - {}", path, strerror(errno));
    }
    return ok;
}

int output_file_create(const std::string& path, std::string& error)
{
    std::string dir_path, name;
    split_file_path(path, dir_path, name);
    private_dir dir;
    if (!output_dir_open(dir_path, dir, error)) {
        return -1;
    }
    return private_dir_open_file(dir, name, O_WRONLY | O_CREAT | O_TRUNC, error);
}
