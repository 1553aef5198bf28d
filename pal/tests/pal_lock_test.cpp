// the platform locks: exclusion across processes and threads with and
// without the older programs' lock files, a kind that stays each process's
// own, a holder that dies, and records or files another user planted. the
// cases that touch the fixed paths run in a private mount namespace with
// their own /tmp and /dev/shm (root only)

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pal/pal_lock.h"
#include "tests/support/process_runner.h"

namespace {

constexpr int k_skip = 77;
constexpr const char* k_qsfp_file = "/tmp/.pal_qsfp.lck";
constexpr const char* k_victim = "/tmp/victim";
constexpr uid_t k_other_uid = 65534;

#define CHECK(cond_)                                                              \
    do {                                                                          \
        if (!(cond_)) {                                                           \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond_); \
            return 1;                                                             \
        }                                                                         \
    } while (0)

// runs fn in a child process; its exit status, 128 + signal when killed
int in_child(const std::function<int()>& fn)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        alarm(60 * test_timeout_scale());  // a lock that never comes back ends the child, not the run
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// fn in a child with a private /tmp and /dev/shm
void expect_isolated(const std::function<int()>& fn)
{
    int rc = in_child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") != 0) {
            return k_skip;
        }
        return fn();
    });
    if (rc == k_skip) {
        GTEST_SKIP() << "needs root for a private mount namespace";
    }
    EXPECT_EQ(rc, 0);
}

int make_file(const char* path, mode_t mode, uid_t owner)
{
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL, mode);
    if (fd < 0 || fchmod(fd, mode) != 0 || fchown(fd, owner, owner) != 0 || write(fd, "x", 1) != 1) {
        return -1;
    }
    return close(fd);
}

struct stat stat_of(const char* path)
{
    struct stat st {};
    (void)lstat(path, &st);
    return st;
}

// what the older programs' file is when a locker starts, and what it is after
struct compat_case_s {
    const char* what;  // the test's name
    pal_lock_kind_e kind;
    bool file_used;  // an older program is excluded through it
    int (*plant)();
    bool (*kept)(const struct stat& before, const struct stat& after);  // nothing planted followed or changed
};

const compat_case_s k_compat_cases[] = {
    {"no_lock_file", PAL_LOCK_KIND_MUTEX, false, [] { return 0; },
     [](const struct stat&, const struct stat&) { return access(k_qsfp_file, F_OK) != 0; }},
    {"our_lock_file", PAL_LOCK_KIND_QSFP_FILE, true, [] { return make_file(k_qsfp_file, 0600, 0); },
     [](const struct stat& before, const struct stat& after) { return after.st_ino == before.st_ino; }},
    {"our_lock_file_open_to_all", PAL_LOCK_KIND_QSFP_FILE, true, [] { return make_file(k_qsfp_file, 0666, 0); },
     [](const struct stat&, const struct stat& after) { return (after.st_mode & 07777) == 0600; }},
    {"another_user_s_lock_file", PAL_LOCK_KIND_QSFP_FILE, false,
     [] { return make_file(k_qsfp_file, 0666, k_other_uid); },
     [](const struct stat&, const struct stat& after) {
         return after.st_uid == k_other_uid && (after.st_mode & 07777) == 0666 && after.st_size == 1;
     }},
    {"a_link_in_its_place", PAL_LOCK_KIND_QSFP_FILE, false,
     [] { return make_file(k_victim, 0644, 0) == 0 && symlink(k_victim, k_qsfp_file) == 0 ? 0 : -1; },
     [](const struct stat&, const struct stat& after) {
         return S_ISLNK(after.st_mode) && stat_of(k_victim).st_size == 1 && (stat_of(k_victim).st_mode & 07777) == 0644;
     }},
};

// an older program's try at its lock file: true when it got it
bool old_program_gets_it()
{
    return in_child([] {
               int fd = open(k_qsfp_file, O_RDWR);  // an older program follows links
               struct flock fl = {};
               fl.l_type = F_WRLCK;
               fl.l_whence = SEEK_SET;
               return fd >= 0 && fcntl(fd, F_SETLK, &fl) == 0 ? 0 : 1;
           }) == 0;
}

class PalLockCompat : public ::testing::TestWithParam<compat_case_s> {};

// two processes of two threads each count under the lock: a read, a yield
// and a write that only the lock keeps whole
TEST_P(PalLockCompat, ProcessesAndThreadsExcludeEachOther)
{
    const compat_case_s c = GetParam();
    expect_isolated([&] {
        CHECK(c.plant() == 0);
        struct stat before = stat_of(k_qsfp_file);
        auto* count = static_cast<volatile int*>(
            mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        CHECK(count != MAP_FAILED);
        *count = 0;
        constexpr int k_rounds = 300, k_threads = 2;  // in each of two processes
        // attached before the fork: both processes lock with the case's kind
        pal_lock_handle_t h = nullptr;
        CHECK(pal_lock_init("qsfp_lock", &h) == 0);
        CHECK(pal_lock_kind(h) == c.kind);
        auto count_under_lock = [&] {
            std::vector<std::thread> threads;
            std::atomic<int> failures{0};
            for (int t = 0; t < k_threads; t++) {
                threads.emplace_back([&] {
                    for (int i = 0; i < k_rounds; i++) {
                        if (pal_lock(h) != 0) {
                            failures++;
                            return;
                        }
                        int v = *count;
                        sched_yield();
                        *count = v + 1;
                        if (pal_unlock(h) != 0) {
                            failures++;
                        }
                    }
                });
            }
            for (auto& t : threads) {
                t.join();
            }
            return failures ? 3 : 0;
        };
        int second = -1;
        std::thread other([&] { second = in_child(count_under_lock); });
        const int first = in_child(count_under_lock);
        other.join();
        CHECK(first == 0 && second == 0);
        CHECK(*count == 2 * k_threads * k_rounds);

        // an older program is kept out while the lock is held, where its file is ours
        CHECK(pal_lock(h) == 0);
        CHECK(pal_lock(h) == 0);  // recursive: the file lock stays until the last release
        CHECK(pal_unlock(h) == 0);
        if (c.kind != PAL_LOCK_KIND_MUTEX) {
            CHECK(old_program_gets_it() != c.file_used);
        }
        CHECK(pal_unlock(h) == 0);
        CHECK(pal_unlock(h) == EPERM);  // released as often as taken, no more

        // nothing is created in /tmp, nothing planted is followed or changed
        CHECK(access("/tmp/pal_lockfile", F_OK) != 0);
        CHECK(c.kept(before, stat_of(k_qsfp_file)));
        struct stat rec = stat_of("/dev/shm/qsfp_lock");
        CHECK(S_ISREG(rec.st_mode) && rec.st_uid == 0 && (rec.st_mode & 077) == 0);
        return 0;
    });
}

INSTANTIATE_TEST_SUITE_P(, PalLockCompat, ::testing::ValuesIn(k_compat_cases),
                         [](const auto& info) { return std::string(info.param.what); });

// a process that attached with the older programs' file keeps its kind when
// another attaches after the file is gone (and finds the record: kind 4),
// and its unlock still works
TEST(PalLock, EachProcessKeepsItsOwnKind)
{
    expect_isolated([] {
        CHECK(make_file(k_qsfp_file, 0600, 0) == 0);
        int to_b[2], to_a[2];
        CHECK(pipe(to_b) == 0 && pipe(to_a) == 0);
        char go = 0;
        pid_t b = fork();
        if (b == 0) {
            // B attaches once A holds the lock and the file is gone
            close(to_b[1]);
            close(to_a[0]);
            pal_lock_handle_t h = nullptr;
            bool ok = read(to_b[0], &go, 1) == 1 && pal_lock_init("qsfp_lock", &h) == 0 &&
                      pal_lock_kind(h) == PAL_LOCK_KIND_SHM;
            ok = write(to_a[1], ok ? "b" : "x", 1) == 1 && ok;
            // and gets the lock once A released it
            ok = ok && pal_lock(h) == 0 && pal_unlock(h) == 0;
            _exit(ok ? 0 : 1);
        }
        close(to_b[0]);
        close(to_a[1]);
        pal_lock_handle_t h = nullptr;
        CHECK(pal_lock_init("qsfp_lock", &h) == 0);
        CHECK(pal_lock_kind(h) == PAL_LOCK_KIND_QSFP_FILE);
        CHECK(pal_lock(h) == 0);
        CHECK(unlink(k_qsfp_file) == 0);
        CHECK(write(to_b[1], "a", 1) == 1 && read(to_a[0], &go, 1) == 1 && go == 'b');
        CHECK(pal_lock_kind(h) == PAL_LOCK_KIND_QSFP_FILE);
        CHECK(pal_unlock(h) == 0);
        int status = 0;
        waitpid(b, &status, 0);
        CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        return 0;
    });
}

// records another user made, or links in their place, are refused and left alone
TEST(PalLock, PlantedRecordsAreRefused)
{
    expect_isolated([] {
        CHECK(make_file("/dev/shm/planted", 0666, k_other_uid) == 0);
        CHECK(make_file(k_victim, 0644, 0) == 0 && symlink(k_victim, "/dev/shm/linked") == 0);
        CHECK(make_file("/dev/shm/shared", 0660, 0) == 0 && chown("/dev/shm/shared", 0, 4242) == 0);
        for (const char* name : {"planted", "linked", "shared", "../tmp/victim", ""}) {
            pal_lock_handle_t h = nullptr;
            CHECK(pal_lock_init(name, &h) == -1 && h == nullptr);
        }
        CHECK(stat_of("/dev/shm/planted").st_uid == k_other_uid && stat_of("/dev/shm/planted").st_size == 1);
        CHECK(stat_of(k_victim).st_size == 1 && (stat_of(k_victim).st_mode & 07777) == 0644);
        return 0;
    });
}

// a lock record name of this process's own, removed at the end
struct shm_name_guard {
    explicit shm_name_guard(const char* tag) : name("orlixt" + std::to_string(getpid()) + tag) {}
    std::string name;
    ~shm_name_guard() { unlink(("/dev/shm/" + name).c_str()); }
};

// a killed holder does not block the next; handles and names are checked
TEST(PalLock, AKilledHolderDoesNotBlockTheNextAndHandlesAreChecked)
{
    shm_name_guard guard("dead");
    ASSERT_EQ(in_child([&] {
                  pal_lock_handle_t h = nullptr;
                  CHECK(pal_lock_init(guard.name.c_str(), &h) == 0 && pal_lock(h) == 0);
                  kill(getpid(), SIGKILL);  // dies holding it
                  return 0;
              }),
              128 + SIGKILL);
    EXPECT_EQ(in_child([&] {
                  pal_lock_handle_t h = nullptr;
                  CHECK(pal_lock_init(guard.name.c_str(), &h) == 0);
                  CHECK(pal_lock(h) == 0);
                  CHECK(h->holder_pid == static_cast<uint32_t>(getpid()));
                  CHECK(pal_unlock(h) == 0);
                  return 0;
              }),
              0);

    pal_lock_handle_t h = nullptr;
    EXPECT_EQ(pal_lock_init(nullptr, &h), -1);
    ASSERT_EQ(pal_lock_init(guard.name.c_str(), &h), 0);
    pal_lock_handle_t same = h;
    EXPECT_EQ(pal_lock_init("another", &h), 0) << "a set handle is kept";
    EXPECT_EQ(h, same);
    pal_lock_handle_t again = nullptr;
    EXPECT_EQ(pal_lock_init(guard.name.c_str(), &again), 0);
    EXPECT_EQ(again, h) << "one mapping per name and process";
    EXPECT_STREQ(h->name, guard.name.c_str());
    EXPECT_EQ(pal_lock(nullptr), -1);
    EXPECT_EQ(pal_unlock(nullptr), -1);
    // a name longer than the record holds is cut
    shm_name_guard longer("a-name-well-beyond-thirty-one-characters");
    pal_lock_handle_t l = nullptr;
    ASSERT_EQ(pal_lock_init(longer.name.c_str(), &l), 0);
    EXPECT_EQ(strlen(l->name), PAL_LOCK_NAME_MAX);
}

}  // namespace
