// shell commands run with quoted values, bounded output and time, and default signals

#include "ipc/shell_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

extern char** environ;

std::string ipc_shell_quote(std::string_view value)
{
    std::string out;
    out.reserve(value.size() + 2);
    out.push_back('\'');
    for (char c : value) {
        if (c == '\'')
            out.append("'\\''");
        else
            out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

std::string ipc_shell_command(std::string_view tmpl, std::initializer_list<std::string_view> values)
{
    std::string out;
    auto next = values.begin();
    size_t pos = 0;
    while (pos < tmpl.size()) {
        size_t hole = tmpl.find("{}", pos);
        if (hole == std::string_view::npos || next == values.end()) {
            out.append(tmpl.substr(pos));
            break;
        }
        out.append(tmpl.substr(pos, hole - pos));
        out.append(ipc_shell_quote(*next++));
        pos = hole + 2;
    }
    return out;
}

namespace {

std::atomic<uint32_t> g_default_timeout_ms{IPC_SHELL_DEFAULT_TIMEOUT_MS};
std::atomic<ipc_shell_stderr_cb_t> g_stderr_cb{nullptr};
constexpr size_t k_errors_max = 4096;

void close_fd(int fd)
{
    if (fd >= 0) {
        close(fd);
    }
}

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// splits what was read into lines, keeping at most max_lines
class line_collector {
public:
    line_collector(std::vector<std::string>& lines, size_t max_lines) : lines_(lines), max_(max_lines) {}
    void add(const char* data, size_t n)
    {
        for (size_t i = 0; i < n; i++) {
            if (data[i] == '\n') {
                keep();
            } else {
                line_.push_back(data[i]);
                open_ = true;
            }
        }
    }
    void finish()
    {
        if (open_) {
            keep();
        }
    }

private:
    void keep()
    {
        if (lines_.size() < max_) {
            lines_.push_back(line_);
        }
        line_.clear();
        open_ = false;
    }
    std::vector<std::string>& lines_;
    size_t max_;
    std::string line_;
    bool open_ = false;
};

// ends the command's whole group: a polite signal first, then a hard one
int end_group(pid_t pid)
{
    kill(-pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 50; i++) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            kill(-pid, SIGKILL);  // whatever it left behind in the group
            return status;
        }
        usleep(10000);
    }
    kill(-pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

void ipc_shell_set_default_timeout_ms(uint32_t timeout_ms)
{
    g_default_timeout_ms = timeout_ms ? timeout_ms : IPC_SHELL_DEFAULT_TIMEOUT_MS;
}

uint32_t ipc_shell_default_timeout_ms()
{
    return g_default_timeout_ms;
}

void ipc_shell_set_stderr_cb(ipc_shell_stderr_cb_t cb)
{
    g_stderr_cb = cb;
}

std::string ipc_shell_result_s::failure() const
{
    std::string why = !started     ? "could not be started"
                      : timed_out  ? "did not finish in time"
                      : !exited    ? "ended by a signal"
                                   : "exit status " + std::to_string(exit_status);
    return errors.empty() ? why : why + ": " + errors;
}

namespace {

// a pipe whose ends are above the standard descriptors, so that the dup2 of
// the spawn puts them in place even when the caller has 0, 1 or 2 closed
bool child_pipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    for (int i = 0; i < 2; i++) {
        if (fds[i] <= STDERR_FILENO) {
            int moved = fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            close(fds[i]);
            fds[i] = moved;
        }
    }
    if (fds[0] < 0 || fds[1] < 0) {
        close_fd(fds[0]);
        close_fd(fds[1]);
        return false;
    }
    return true;
}

// /bin/sh -c command with stdout and stderr on the pipes, in a group of its
// own, with an empty signal mask and every signal at its default action: the
// daemon blocks its stop signals and ignores some others, and a tool that
// inherits that would not stop when its group is told to
pid_t spawn_shell(const std::string& command, int out_fd, int err_fd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(command.c_str()), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

// the first k_errors_max bytes of standard error; the rest is read and dropped
void keep_errors(std::string& errors, const char* data, size_t n)
{
    errors.append(data, std::min(n, k_errors_max - std::min(errors.size(), k_errors_max)));
}

}  // namespace

ipc_shell_result_s ipc_shell_run(const std::string& command, size_t max_lines, uint32_t timeout_ms)
{
    ipc_shell_result_s result;
    if (timeout_ms == 0) {
        timeout_ms = g_default_timeout_ms;
    }
    int out[2], err[2];
    if (!child_pipe(out)) {
        return result;
    }
    if (!child_pipe(err)) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    pid_t pid = spawn_shell(command, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        int saved = errno;
        close(out[0]);
        close(err[0]);
        errno = saved;
        return result;
    }
    result.started = true;

    line_collector lines(result.lines, max_lines);
    const int64_t deadline = now_ms() + timeout_ms;
    char chunk[4096];
    struct pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while (p[0].fd >= 0 || p[1].fd >= 0) {
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            result.timed_out = true;
            break;
        }
        int n = poll(p, 2, static_cast<int>(std::min<int64_t>(left, 100)));
        if (n < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2 && n > 0; i++) {
            if (p[i].fd < 0 || p[i].revents == 0) {
                continue;
            }
            ssize_t got = read(p[i].fd, chunk, sizeof(chunk));
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (got <= 0) {
                // end of output (or a broken pipe): the command is done writing there
                close(p[i].fd);
                p[i].fd = -1;
                continue;
            }
            if (i == 0) {
                lines.add(chunk, static_cast<size_t>(got));
            } else {
                keep_errors(result.errors, chunk, static_cast<size_t>(got));
            }
        }
    }
    lines.finish();
    close_fd(p[0].fd);
    close_fd(p[1].fd);
    if (!result.errors.empty() && result.errors.back() == '\n') {
        result.errors.pop_back();
    }
    if (!result.errors.empty()) {
        if (ipc_shell_stderr_cb_t cb = g_stderr_cb.load()) {
            cb(command, result.errors);
        }
    }

    int status = 0;
    if (!result.timed_out) {
        // output ended; the command itself gets what is left of its bound
        for (;;) {
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                break;
            }
            if (r < 0 && errno != EINTR) {
                return result;
            }
            if (now_ms() >= deadline) {
                result.timed_out = true;
                break;
            }
            usleep(2000);
        }
    }
    if (result.timed_out) {
        status = end_group(pid);
        fprintf(stderr, "shell command did not finish within %u ms and was ended: %.200s\n", timeout_ms,
                command.c_str());
        return result;
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exit_status = WEXITSTATUS(status);
    }
    return result;
}
