// the platform locks across processes: one record per name, mutual
// exclusion, a holder that dies, and the advisory-file scheme

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pal/pal_lock.h"

namespace {

std::string unique_name(const char* tag)
{
    return "orlixt" + std::to_string(getpid()) + tag;
}

struct shm_name_guard {
    std::string name;
    ~shm_name_guard() { unlink(("/dev/shm/" + name).c_str()); }
};

// runs fn in a child process; its exit status
int in_child(const std::function<int()>& fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(PalLock, ProcessesShareOneRecordAndExcludeEachOther)
{
    shm_name_guard guard{unique_name("count")};
    auto* counter = static_cast<std::atomic<int>*>(
        mmap(nullptr, sizeof(int) * 2, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(counter, MAP_FAILED);
    volatile int* plain = reinterpret_cast<volatile int*>(counter + 1);
    *plain = 0;
    constexpr int k_rounds = 2000;
    std::vector<pid_t> kids;
    for (int k = 0; k < 3; k++) {
        pid_t pid = fork();
        if (pid == 0) {
            pal_lock_handle_t h = nullptr;
            if (pal_lock_init(guard.name.c_str(), &h) != 0) {
                _exit(1);
            }
            for (int i = 0; i < k_rounds; i++) {
                if (pal_lock(h) != 0) {
                    _exit(2);
                }
                // a read-modify-write that only the lock keeps whole
                int v = *plain;
                *plain = v + 1;
                pal_unlock(h);
            }
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(*plain, 3 * k_rounds);
    munmap(counter, sizeof(int) * 2);
}

TEST(PalLock, AKilledHolderDoesNotBlockTheNext)
{
    shm_name_guard guard{unique_name("dead")};
    int status = in_child([&] {
        pal_lock_handle_t h = nullptr;
        if (pal_lock_init(guard.name.c_str(), &h) != 0 || pal_lock(h) != 0) {
            return 1;
        }
        kill(getpid(), SIGKILL);  // dies holding it
        return 0;
    });
    ASSERT_EQ(status, 128 + SIGKILL);
    pal_lock_handle_t h = nullptr;
    ASSERT_EQ(pal_lock_init(guard.name.c_str(), &h), 0);
    // bounded: a lock that never comes back would hang here, so try in a child first
    EXPECT_EQ(in_child([&] {
                  alarm(10);
                  pal_lock_handle_t c = nullptr;
                  return pal_lock_init(guard.name.c_str(), &c) == 0 && pal_lock(c) == 0 ? 0 : 1;
              }),
              0);
    alarm(10);
    EXPECT_EQ(pal_lock(h), 0);
    EXPECT_EQ(h->holder_pid, static_cast<uint32_t>(getpid()));
    // recursive: the holder takes it again and releases it as often
    EXPECT_EQ(pal_lock(h), 0);
    EXPECT_EQ(pal_unlock(h), 0);
    EXPECT_EQ(pal_unlock(h), 0);
    alarm(0);
}

TEST(PalLock, HandlesAndNamesAreChecked)
{
    shm_name_guard guard{unique_name("h")};
    pal_lock_handle_t h = nullptr;
    EXPECT_EQ(pal_lock_init(nullptr, &h), -1);
    ASSERT_EQ(pal_lock_init(guard.name.c_str(), &h), 0);
    pal_lock_handle_t same = h;
    EXPECT_EQ(pal_lock_init("another", &h), 0) << "a set handle is kept";
    EXPECT_EQ(h, same);
    EXPECT_STREQ(h->name, guard.name.c_str());
    EXPECT_EQ(pal_lock(nullptr), -1);
    EXPECT_EQ(pal_unlock(nullptr), -1);
    // a name longer than the record holds is cut
    shm_name_guard longer{unique_name("a-name-well-beyond-thirty-one-characters")};
    pal_lock_handle_t l = nullptr;
    ASSERT_EQ(pal_lock_init(longer.name.c_str(), &l), 0);
    EXPECT_EQ(strlen(l->name), PAL_LOCK_NAME_MAX);
}

TEST(PalLock, OldProgramsLockFileIsUsedWhenPresent)
{
    const char* file = "/tmp/.pal_qsfp.lck";
    if (access("/dev/shm/qsfp_lock", F_OK) == 0 || access(file, F_OK) == 0) {
        GTEST_SKIP() << "this host already uses the qsfp lock";
    }
    int fd = open(file, O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(pal_check_compat("qsfp_lock"), PAL_LOCK_KIND_QSFP_FILE);
    EXPECT_EQ(pal_check_compat("qsfp_lock_other"), PAL_LOCK_KIND_MUTEX);
    pal_lock_handle_t h = nullptr;
    ASSERT_EQ(pal_lock_init("qsfp_lock", &h), 0);
    EXPECT_EQ(h->kind, PAL_LOCK_KIND_QSFP_FILE);
    ASSERT_EQ(pal_lock(h), 0);
    // another process cannot take the file lock meanwhile
    EXPECT_EQ(in_child([&] {
                  int f = open(file, O_RDWR);
                  struct flock fl = {};
                  fl.l_type = F_WRLCK;
                  fl.l_whence = SEEK_SET;
                  return fcntl(f, F_SETLK, &fl) == -1 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(pal_unlock(h), 0);
    EXPECT_EQ(in_child([&] {
                  int f = open(file, O_RDWR);
                  struct flock fl = {};
                  fl.l_type = F_WRLCK;
                  fl.l_whence = SEEK_SET;
                  return fcntl(f, F_SETLK, &fl) == 0 ? 0 : 1;
              }),
              0);
    unlink(file);
    unlink("/dev/shm/qsfp_lock");
    EXPECT_EQ(pal_check_compat("qsfp_lock"), PAL_LOCK_KIND_MUTEX);
}

}  // namespace
