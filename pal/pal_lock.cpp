// the platform locks

#include "pal/pal_lock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

std::mutex g_init_mutex;
int g_share_dir = -1;  // "/share/" exists: 1, not: 0, unknown: -1
int g_compat_fd[PAL_LOCK_KIND_QSFP_FILE + 1] = {-1, -1, -1, -1, -1, -1};
std::mutex g_compat_fd_mutex;

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
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

// the advisory file of a kind, opened once per process
int compat_fd(uint32_t kind)
{
    const char* file = compat_file(kind);
    if (file == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_compat_fd_mutex);
    if (g_compat_fd[kind] < 0) {
        g_compat_fd[kind] = open(file, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    }
    return g_compat_fd[kind];
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

static int init_mutex(pal_lock_record_s* rec, const std::string& path)
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

int pal_lock_init(const char* name, pal_lock_handle_t* handle)
{
    if (name == nullptr || handle == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> process_lock(g_init_mutex);
    if (*handle != nullptr) {
        return 0;
    }
    if (g_share_dir < 0) {
        g_share_dir = exists("/share/") ? 1 : 0;
    }
    pal_lock_kind_e kind = pal_check_compat(name);
    char path[256];
    if (g_share_dir == 1 && kind != PAL_LOCK_KIND_SHM) {
        snprintf(path, sizeof(path), "/share/%s.pal_lock", name);
    } else {
        snprintf(path, sizeof(path), "/dev/shm/%s", name);
    }
    char guard_path[64];
    snprintf(guard_path, sizeof(guard_path), g_share_dir == 1 ? "/share/%s" : "/tmp/%s", "pal_lockfile");
    int guard = open(guard_path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (guard < 0) {
        pal_log(trace_level_err, "Lock:%s open %s", guard_path, strerror(errno));
        return -1;
    }
    if (advisory(guard, F_WRLCK) != 0) {
        pal_log(trace_level_err, "Lock:%s lock %s", guard_path, strerror(errno));
        close(guard);
        return -1;
    }
    auto release_guard = [&] {
        (void)advisory(guard, F_UNLCK);
        close(guard);
    };
    bool created = true;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = open(path, O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        pal_log(trace_level_err, "Lock:%s open %s", path, strerror(errno));
        release_guard();
        return -1;
    }
    pal_log(trace_level_info, created ? "Lock:%s is created" : "Lock:%s exist", path);
    if (ftruncate(fd, sizeof(pal_lock_record_s)) != 0) {
        pal_log(trace_level_err, "Lock:%s ftruncate %s", path, strerror(errno));
        close(fd);
        release_guard();
        return -1;
    }
    void* va = mmap(nullptr, sizeof(pal_lock_record_s), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (va == MAP_FAILED) {
        pal_log(trace_level_err, "Lock:%s mmap %s", path, strerror(errno));
        close(fd);
        release_guard();
        return -1;
    }
    auto* rec = static_cast<pal_lock_record_s*>(va);
    if (created && init_mutex(rec, path) != 0) {
        munmap(va, sizeof(pal_lock_record_s));
        close(fd);
        release_guard();
        return -1;
    }
    snprintf(rec->name, sizeof(rec->name), "%.31s", name);
    rec->kind = kind;
    close(fd);
    release_guard();
    *handle = rec;
    return 0;
}

int pal_lock(pal_lock_handle_t handle)
{
    if (handle == nullptr) {
        return -1;
    }
    uint32_t kind = handle->kind;
    if (kind == PAL_LOCK_KIND_MUTEX || kind == PAL_LOCK_KIND_SHM) {
        int rc = pthread_mutex_lock(&handle->mutex);
        if (rc == EOWNERDEAD) {
            long pid = handle->holder_pid, tid = handle->holder_tid;
            if (kind == PAL_LOCK_KIND_SHM) {
                pal_log(trace_level_warn, "Owner pid:%ld tid:%ld the (%s)lock has crashed,locking-pid:%ld\n", pid, tid,
                        handle->name, static_cast<long>(getpid()));
                fprintf(stderr, "Owner pid:%ld tid:%ld of the (%s)lock hascrashed, locking-pid:%ld\n", pid, tid,
                        handle->name, static_cast<long>(getpid()));
            } else {
                pal_log(trace_level_err, "Owner pid:%ld tid:%ld of the (%s)lock has crashed, locking-pid:%ld\n", pid,
                        tid, handle->name, static_cast<long>(getpid()));
            }
            if (pthread_mutex_consistent(&handle->mutex) != 0) {
                pal_log(trace_level_err, "Error making (%s)lock consistent\n", handle->name);
            }
            handle->holder_pid = static_cast<uint32_t>(getpid());
            handle->holder_tid = static_cast<uint32_t>(thread_id());
            return 0;
        }
        if (rc != 0) {
            return -1;
        }
        handle->holder_pid = static_cast<uint32_t>(getpid());
        handle->holder_tid = static_cast<uint32_t>(thread_id());
        return 0;
    }
    int fd = compat_fd(kind);
    if (fd < 0) {
        pal_log(trace_level_err, "Lock:%s has no lock file for kind %u", handle->name, kind);
        return -1;
    }
    return advisory(fd, F_WRLCK);
}

int pal_unlock(pal_lock_handle_t handle)
{
    if (handle == nullptr) {
        return -1;
    }
    uint32_t kind = handle->kind;
    if (kind == PAL_LOCK_KIND_MUTEX || kind == PAL_LOCK_KIND_SHM) {
        return pthread_mutex_unlock(&handle->mutex);
    }
    int fd = compat_fd(kind);
    if (fd < 0) {
        return -1;
    }
    return advisory(fd, F_UNLCK);
}
