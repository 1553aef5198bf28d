// child processes judged by their output and end, bounded waits that grow
// with the sanitizer's slowdown and the machine's load, private folders

#include "tests/support/process_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

static int next_process_id()
{
    static int n = 0;
    return n++;
}

test_process::test_process(std::vector<std::string> argv, const std::string& work_dir)
{
    int id = next_process_id();
    out_path_ = work_dir + "/proc" + std::to_string(id) + ".out";
    err_path_ = work_dir + "/proc" + std::to_string(id) + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // the child starts with no blocked signals, whatever the test runner has
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, &attr, args.data(), environ) != 0) {
        pid_ = -1;
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
}

test_process::~test_process()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool test_process::wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0) {
        return false;
    }
    bool done = test_wait_until(
        [this] {
            if (reaped_) {
                return true;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) != pid_) {
                return false;
            }
            reaped_ = true;
            exited_ = WIFEXITED(status);
            exit_status_ = exited_ ? WEXITSTATUS(status) : -1;
            return true;
        },
        timeout);
    return done;
}

void test_process::signal(int signo)
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, signo);
    }
}

std::string test_process::out() const
{
    return test_read_file(out_path_);
}

std::string test_process::err() const
{
    return test_read_file(err_path_);
}

// how much slower than on an idle machine: the runnable processes per
// processor over the last minute, rounded up; capped, so that a test that
// fails still ends in reasonable time
static int load_factor()
{
    constexpr int k_max = 4;
    double load = 0;
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    if (getloadavg(&load, 1) != 1 || cpus < 1) {
        return 1;
    }
    return std::clamp(static_cast<int>(std::ceil(load / static_cast<double>(cpus))), 1, k_max);
}

int test_timeout_scale()
{
    const char* scale = getenv("ORLIX_TIMEOUT_SCALE");
    return std::max(1, scale ? atoi(scale) : 1) * load_factor();
}

bool test_wait_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout * test_timeout_scale();
    for (;;) {
        if (cond()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

test_temp_dir::test_temp_dir(const char* tag)
{
    std::string tmpl = std::string("/tmp/") + tag + ".XXXXXX";
    path_ = mkdtemp(tmpl.data());
}

test_temp_dir::~test_temp_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string test_read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void test_write_file(const std::string& path, const std::string& text)
{
    std::ofstream(path) << text;
}

std::string test_replace_all(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string test_private_daemon(const test_temp_dir& dir, const std::string& prefix)
{
    static int copies = 0;
    const char* build = getenv("ORLIX_BUILD_DIR");
    std::string bin = dir.file(prefix + std::to_string(getpid() % 100000) + "_" + std::to_string(copies++));
    std::error_code ec;
    std::filesystem::copy_file(std::string(build ? build : ".") + "/monitor/orlixmon", bin, ec);
    if (ec || chmod(dir.path().c_str(), 0755) != 0) {
        return "";
    }
    return bin;
}
