// the platform locks. every kind takes the record's robust mutex, which
// excludes threads and processes alike; the kinds of the older programs'
// lock files take that file's advisory lock on top, once per process, so
// that those programs are excluded too. a process's kind is its own: it is
// kept here, never read back from the shared record.
//
// records and lock files live where other users may create names first
// (/dev/shm, /tmp), so nothing is opened through a link, a record is created
// whole under a private name and linked into place, and a record or lock
// file that another user could have written is not trusted.

#include "pal/pal_lock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "log/trace_level.h"
#include "pal/pal_log.h"

namespace {

struct compat_file_s {
    const char* name;
    const char* file;
    pal_lock_kind_e kind;
};

// the names older programs lock through a fixed file, checked in this order
const compat_file_s k_compat_files[] = {
    {"cpld_lock", "/tmp/.pal_cpld.lck", PAL_LOCK_KIND_CPLD_FILE},
    {"mem_lock", "/tmp/.pal_mem.lck", PAL_LOCK_KIND_MEM_FILE},
    {"hbm_sbus_lock", "/tmp/.pal_sbus_hbm.lck", PAL_LOCK_KIND_HBM_SBUS_FILE},
    {"sbus_lock", "/tmp/.pal_sbus.lck", PAL_LOCK_KIND_SBUS_FILE},
    {"qsfp_lock", "/tmp/.pal_qsfp.lck", PAL_LOCK_KIND_QSFP_FILE},
};

constexpr int k_retries = 5;
constexpr useconds_t k_retry_us = 10000;
// an older program makes its record in steps; how long its half-made record is waited for
constexpr int k_record_waits = 100;
constexpr mode_t k_record_mode = 0600;

// what this process knows of one lock
struct local_lock_s {
    pal_lock_record_s* rec = nullptr;
    pal_lock_kind_e kind = PAL_LOCK_KIND_MUTEX;
    int file_fd = -1;    // the older programs' lock file, -1 when not used
    uint32_t depth = 0;  // how often the holding thread took it; only the holder changes it
};

uint32_t depth_of(const local_lock_s& l)
{
    return __atomic_load_n(&l.depth, __ATOMIC_RELAXED);
}

void set_depth(local_lock_s& l, uint32_t depth)
{
    __atomic_store_n(&l.depth, depth, __ATOMIC_RELAXED);
}

std::mutex g_mutex;  // the two maps below
std::map<std::string, local_lock_s> g_by_name;
std::map<const pal_lock_record_s*, local_lock_s*> g_by_record;
int g_share_dir = -1;  // "/share/" exists: 1, not: 0, unknown: -1

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;  // a link counts: it is refused later
}

// an advisory write lock on the whole file, waiting, a refused try retried
int advisory(int fd, short type)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    for (int i = 0; i < k_retries; i++) {
        if (fcntl(fd, F_SETLKW, &fl) == 0) {
            return 0;
        }
        usleep(k_retry_us);
    }
    return -1;
}

pid_t thread_id()
{
    return static_cast<pid_t>(syscall(SYS_gettid));
}

const char* compat_file(uint32_t kind)
{
    for (const auto& c : k_compat_files) {
        if (c.kind == kind) {
            return c.file;
        }
    }
    return nullptr;
}

// a file no other user could have written: a plain file with one name,
// ours, writable by nobody else (its group only when it is ours)
bool private_file(const struct stat& st, bool group_write_ok)
{
    bool others_write = (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && !group_write_ok);
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid() && !others_write;
}

// the older programs' lock file of a kind, opened without following a link
// and without creating it. one another user owns (or could write) is not
// used: that user could hold it for ever. one of ours that others could
// open is closed to them first
int open_compat_file(uint32_t kind)
{
    const char* file = compat_file(kind);
    if (file == nullptr) {
        return -1;
    }
    int fd = open(file, O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        pal_log(trace_level_warn, "Lock:%s cannot be opened (%s): locking without it", file, strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid()) {
        pal_log(trace_level_warn,
                "Lock:%s is not a lock file of this user (uid %u, %u links): locking without it, remove it",
                file, static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_nlink));
        close(fd);
        return -1;
    }
    if ((st.st_mode & 077) != 0) {
        pal_log(trace_level_warn, "Lock:%s was open to other users (mode %o): made 0600", file,
                static_cast<unsigned>(st.st_mode & 07777));
        (void)fchmod(fd, 0600);
    }
    return fd;
}

bool name_ok(const char* name)
{
    return name[0] != '\0' && strchr(name, '/') == nullptr && strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

int init_mutex(pal_lock_record_s* rec, const std::string& path)
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0) {
        pal_log(trace_level_err, "Lock:%s pthread_mutexattr_init %s", path.c_str(), strerror(rc));
        return -1;
    }
    if ((rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED)) != 0) {
        pal_log(trace_level_err, "Lock:%s pthread_mutexattr_setpshared %s", path.c_str(), strerror(rc));
        pthread_mutexattr_destroy(&attr);
        return -1;
    }
    if ((rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE)) != 0 ||
        (rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST)) != 0) {
        pal_log(trace_level_err, "Lock:%s pthread_mutex_init  %s", path.c_str(), strerror(rc));
        pthread_mutexattr_destroy(&attr);
        return -1;
    }
    rc = pthread_mutex_init(&rec->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        pal_log(trace_level_err, "Lock:%s pthread_mutex_init %s", path.c_str(), strerror(rc));
        return -1;
    }
    rec->holder_pid = 0;
    return 0;
}

pal_lock_record_s* map_record(int fd, const std::string& path)
{
    void* va = mmap(nullptr, sizeof(pal_lock_record_s), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (va == MAP_FAILED) {
        pal_log(trace_level_err, "Lock:%s mmap %s", path.c_str(), strerror(errno));
        return nullptr;
    }
    return static_cast<pal_lock_record_s*>(va);
}

// a new record made whole under a private name beside `path`, then linked
// into place: nobody ever sees it half-made. the record, or null with
// *raced set when another process linked its own first
pal_lock_record_s* create_record(const std::string& path, const char* name, pal_lock_kind_e kind, bool* raced)
{
    *raced = false;
    std::string dir = path.substr(0, path.rfind('/') + 1);
    std::string tmp = dir + ".pal_lock_XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC);
    if (fd < 0) {
        pal_log(trace_level_err, "Lock:%s open %s", path.c_str(), strerror(errno));
        return nullptr;
    }
    pal_lock_record_s* rec = nullptr;
    if (fchmod(fd, k_record_mode) != 0 || ftruncate(fd, sizeof(pal_lock_record_s)) != 0) {
        pal_log(trace_level_err, "Lock:%s ftruncate %s", path.c_str(), strerror(errno));
    } else if ((rec = map_record(fd, path)) != nullptr) {
        snprintf(rec->name, sizeof(rec->name), "%.31s", name);
        rec->kind = kind;
        if (init_mutex(rec, path) != 0) {
            munmap(rec, sizeof(*rec));
            rec = nullptr;
        } else if (link(tmp.c_str(), path.c_str()) != 0) {
            *raced = errno == EEXIST;
            if (!*raced) {
                pal_log(trace_level_err, "Lock:%s open %s", path.c_str(), strerror(errno));
            }
            munmap(rec, sizeof(*rec));
            rec = nullptr;
        }
    }
    unlink(tmp.c_str());
    close(fd);
    if (rec != nullptr) {
        pal_log(trace_level_info, "Lock:%s is created", path.c_str());
    }
    return rec;
}

// an existing record, attached only when no other user could have made or
// written it. an older program's record still being made is waited for
pal_lock_record_s* attach_record(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        pal_log(trace_level_err, "Lock:%s open %s", path.c_str(), strerror(errno));
        return nullptr;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && private_file(st, st.st_gid == getegid());
    if (!ok) {
        pal_log(trace_level_err,
                "Lock:%s is not a lock record of this user (uid %u, mode %o, %u links): refused, remove it",
                path.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 07777),
                static_cast<unsigned>(st.st_nlink));
        close(fd);
        return nullptr;
    }
    for (int i = 0; i < k_record_waits && st.st_size < static_cast<off_t>(sizeof(pal_lock_record_s)); i++) {
        usleep(k_retry_us);
        (void)fstat(fd, &st);
    }
    if (st.st_size != static_cast<off_t>(sizeof(pal_lock_record_s))) {
        pal_log(trace_level_err, "Lock:%s has %lld bytes, not a lock record: refused, remove it", path.c_str(),
                static_cast<long long>(st.st_size));
        close(fd);
        return nullptr;
    }
    pal_lock_record_s* rec = map_record(fd, path);
    close(fd);
    // the maker writes the name last
    for (int i = 0; rec != nullptr && i < k_record_waits && rec->name[0] == '\0'; i++) {
        usleep(k_retry_us);
    }
    if (rec != nullptr) {
        pal_log(trace_level_info, "Lock:%s exist", path.c_str());
    }
    return rec;
}

local_lock_s* local_of(pal_lock_handle_t handle)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_by_record.find(handle);
    return it == g_by_record.end() ? nullptr : it->second;
}

void record_holder(pal_lock_record_s* rec)
{
    __atomic_store_n(&rec->holder_pid, static_cast<uint32_t>(getpid()), __ATOMIC_RELAXED);
    __atomic_store_n(&rec->holder_tid, static_cast<uint32_t>(thread_id()), __ATOMIC_RELAXED);
}

// the record's mutex, repaired when its holder died; 0 holding it
int lock_mutex(local_lock_s& l)
{
    pal_lock_record_s* rec = l.rec;
    int rc = pthread_mutex_lock(&rec->mutex);
    if (rc == EOWNERDEAD) {
        long pid = rec->holder_pid, tid = rec->holder_tid;
        if (l.kind == PAL_LOCK_KIND_SHM) {
            pal_log(trace_level_warn, "Owner pid:%ld tid:%ld the (%s)lock has crashed,locking-pid:%ld\n", pid, tid,
                    rec->name, static_cast<long>(getpid()));
            fprintf(stderr, "Owner pid:%ld tid:%ld of the (%s)lock hascrashed, locking-pid:%ld\n", pid, tid, rec->name,
                    static_cast<long>(getpid()));
        } else {
            pal_log(trace_level_err, "Owner pid:%ld tid:%ld of the (%s)lock has crashed, locking-pid:%ld\n", pid, tid,
                    rec->name, static_cast<long>(getpid()));
        }
        if (pthread_mutex_consistent(&rec->mutex) != 0) {
            pal_log(trace_level_err, "Error making (%s)lock consistent\n", rec->name);
        }
        // a thread of this process may have died holding it: its count is gone
        set_depth(l, 0);
        return 0;
    }
    return rc == 0 ? 0 : -1;
}

}  // namespace

pal_lock_kind_e pal_check_compat(const char* name)
{
    if (exists(std::string("/dev/shm/") + name)) {
        return PAL_LOCK_KIND_SHM;
    }
    for (const auto& c : k_compat_files) {
        if (strcmp(name, c.name) == 0 && exists(c.file)) {
            return c.kind;
        }
    }
    return PAL_LOCK_KIND_MUTEX;
}

int pal_lock_init(const char* name, pal_lock_handle_t* handle)
{
    if (name == nullptr || handle == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> process_lock(g_mutex);
    if (*handle != nullptr) {
        return 0;
    }
    if (!name_ok(name)) {
        pal_log(trace_level_err, "Lock:%s is not a lock name", name);
        return -1;
    }
    std::string key(name);
    auto known = g_by_name.find(key);
    if (known != g_by_name.end()) {
        *handle = known->second.rec;  // one mapping and one count per name and process
        return 0;
    }
    if (g_share_dir < 0) {
        struct stat st;
        g_share_dir = stat("/share/", &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
    }
    local_lock_s l;
    l.kind = pal_check_compat(name);
    std::string path = g_share_dir == 1 && l.kind != PAL_LOCK_KIND_SHM ? "/share/" + std::string(name) + ".pal_lock"
                                                                        : "/dev/shm/" + std::string(name);
    for (int attempt = 0; attempt < k_retries && l.rec == nullptr; attempt++) {
        bool raced = false;
        if (!exists(path)) {
            l.rec = create_record(path, name, l.kind, &raced);
            if (l.rec == nullptr && !raced) {
                return -1;
            }
        }
        if (l.rec == nullptr && (l.rec = attach_record(path)) == nullptr) {
            return -1;
        }
    }
    if (l.rec == nullptr) {
        return -1;
    }
    if (l.kind != PAL_LOCK_KIND_MUTEX && l.kind != PAL_LOCK_KIND_SHM) {
        l.file_fd = open_compat_file(l.kind);
    }
    auto& stored = g_by_name[key] = l;
    g_by_record[l.rec] = &stored;
    *handle = l.rec;
    return 0;
}

pal_lock_kind_e pal_lock_kind(pal_lock_handle_t handle)
{
    local_lock_s* l = handle ? local_of(handle) : nullptr;
    return l ? l->kind : PAL_LOCK_KIND_MUTEX;
}

int pal_lock(pal_lock_handle_t handle)
{
    local_lock_s* l = handle ? local_of(handle) : nullptr;
    if (l == nullptr) {
        return -1;
    }
    if (lock_mutex(*l) != 0) {
        return -1;
    }
    // the older programs' file is taken once, by the first of a holder's turns
    if (depth_of(*l) == 0 && l->file_fd >= 0 && advisory(l->file_fd, F_WRLCK) != 0) {
        pal_log(trace_level_err, "Lock:%s lock %s", compat_file(l->kind), strerror(errno));
        pthread_mutex_unlock(&l->rec->mutex);
        return -1;
    }
    set_depth(*l, depth_of(*l) + 1);
    record_holder(l->rec);
    return 0;
}

int pal_unlock(pal_lock_handle_t handle)
{
    local_lock_s* l = handle ? local_of(handle) : nullptr;
    if (l == nullptr) {
        return -1;
    }
    // only the holding thread may release it, and only as often as it took it
    uint32_t depth = depth_of(*l);
    if (depth == 0 || __atomic_load_n(&l->rec->holder_pid, __ATOMIC_RELAXED) != static_cast<uint32_t>(getpid()) ||
        __atomic_load_n(&l->rec->holder_tid, __ATOMIC_RELAXED) != static_cast<uint32_t>(thread_id())) {
        return EPERM;
    }
    int rc = 0;
    if (depth == 1 && l->file_fd >= 0) {
        rc = advisory(l->file_fd, F_UNLCK);
    }
    set_depth(*l, depth - 1);
    int mrc = pthread_mutex_unlock(&l->rec->mutex);
    return mrc != 0 ? mrc : rc;
}
