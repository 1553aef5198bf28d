#pragma once

#include <pthread.h>

#include <cstdint>

// named locks every process of the host sees: a robust, recursive,
// process-shared mutex in a small shared file, which excludes threads and
// processes alike; for names an older program still locks through a fixed
// file in /tmp, an advisory lock on that file as well

enum pal_lock_kind_e : uint32_t {
    PAL_LOCK_KIND_MEM_FILE = 0,
    PAL_LOCK_KIND_CPLD_FILE = 1,
    PAL_LOCK_KIND_SBUS_FILE = 2,
    PAL_LOCK_KIND_HBM_SBUS_FILE = 3,
    PAL_LOCK_KIND_SHM = 4,
    PAL_LOCK_KIND_QSFP_FILE = 5,
    PAL_LOCK_KIND_MUTEX = 6,
};

constexpr size_t PAL_LOCK_NAME_MAX = 31;

// the shared record, 88 bytes
struct pal_lock_record_s {
    char name[32];
    pthread_mutex_t mutex;
    uint32_t kind;
    uint32_t holder_pid;
    uint32_t holder_tid;
    uint32_t unused;
};
static_assert(sizeof(pal_lock_record_s) == 88, "lock record layout");

typedef pal_lock_record_s* pal_lock_handle_t;

// 0 (also when *handle is already set) or -1: a name with '/', or a record
// another user made or could write (it is refused with a message naming it)
int pal_lock_init(const char* name, pal_lock_handle_t* handle);
// 0 holding the lock, -1 on failure
int pal_lock(pal_lock_handle_t handle);
// 0, EPERM when the calling thread does not hold it, or the unlock's error
int pal_unlock(pal_lock_handle_t handle);
// the kind a name gets when it is attached now
pal_lock_kind_e pal_check_compat(const char* name);
// the kind this process locks `handle` with, whatever the shared record says
pal_lock_kind_e pal_lock_kind(pal_lock_handle_t handle);
