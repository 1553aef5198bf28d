#pragma once

// folders root keeps to itself, reached by descriptor

#include <sys/types.h>

#include <string>
#include <vector>

// folders that root keeps to itself (the library's operational directory, the
// engine's work and card directories, the card configuration directories).
// root must never create, write, read or remove through a symbolic link or a
// folder another user owns or can write, so every folder is reached by
// descriptor from "/", each component checked on the way:
// - an ancestor: no link, owned by root (or the effective user), not writable
//   by group or others unless it is sticky (as /tmp is);
// - the private folder itself, and every folder below it: no link, owned by
//   the effective user, not writable by group or others.
// missing folders are made with mode 0700. a folder that fails is refused
// with a message naming it and the fix; it is never deleted or repaired.

class private_dir {
public:
    private_dir() = default;
    ~private_dir();
    private_dir(const private_dir&) = delete;
    private_dir& operator=(const private_dir&) = delete;
    private_dir(private_dir&& other) noexcept;
    private_dir& operator=(private_dir&& other) noexcept;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // the path it was reached by, without a trailing "/"
    const std::string& path() const { return path_; }

private:
    friend bool private_dir_open(const std::string&, bool, private_dir&, std::string&);
    friend bool private_dir_sub(const private_dir&, const std::string&, bool, private_dir&, std::string&);
    friend bool output_dir_open(const std::string&, private_dir&, std::string&);
    int fd_ = -1;
    std::string path_;
};

// the private folder at path (a relative path is taken from the working
// directory), made with its missing ancestors when create is set; false with
// the reason in error
bool private_dir_open(const std::string& path, bool create, private_dir& out, std::string& error);

// a private folder below a checked one, rel relative to it ("fwupgrade/BDF")
bool private_dir_sub(const private_dir& base, const std::string& rel, bool create, private_dir& out,
                     std::string& error);

// a folder that only receives new files root creates (an output file the
// operator names): reached like an ancestor, so a sticky world-writable
// folder such as /tmp is accepted, a folder another user owns is not
bool output_dir_open(const std::string& path, private_dir& out, std::string& error);

// removes every entry of the folder through descriptors: no link is followed
// (a link is removed as a link), no mount point is crossed (refused), nothing
// outside the folder is touched. true when it is empty afterwards
bool private_dir_empty(const private_dir& dir, std::string& error);

// the names of the folder's entries but "." and ".."; false when unreadable
bool private_dir_list(const private_dir& dir, std::vector<std::string>& names);

// removes one entry of the folder, a folder with everything in it; a missing
// entry is no failure
bool private_dir_remove(const private_dir& dir, const std::string& name, std::string& error);

// opens a file of the folder by name (no "/" in it) without following a link:
// flags as open(2) takes them, O_NOFOLLOW and O_CLOEXEC added, mode 0600 for a
// new file. an existing file must be a regular file of the effective user with
// one link. the descriptor, or -1 with the reason in error
int private_dir_open_file(const private_dir& dir, const std::string& name, int flags, std::string& error);

// writes text to the file at path (truncating, or appending) in the checked
// private folder it lives in; false with the reason in error
bool private_file_write(const std::string& path, const std::string& text, bool append, std::string& error);

// creates a new output file at a path the operator names (parent checked as
// output_dir_open does); an existing file is replaced only when it is a
// regular file of the effective user with one link. the descriptor or -1
int output_file_create(const std::string& path, std::string& error);
