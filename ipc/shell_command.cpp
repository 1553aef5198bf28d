#include "ipc/shell_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

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

ipc_shell_result_s ipc_shell_run(const std::string& command, size_t max_lines, uint32_t timeout_ms)
{
    ipc_shell_result_s result;
    if (timeout_ms == 0) {
        timeout_ms = g_default_timeout_ms;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return result;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (pid == 0) {
        // only async-signal-safe calls from here on: the parent may have threads
        setpgid(0, 0);
        if (fds[1] != STDOUT_FILENO) {
            dup2(fds[1], STDOUT_FILENO);  // dup2 clears close-on-exec on the copy
        } else {
            fcntl(fds[1], F_SETFD, 0);
        }
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);  // both sides set it, so no kill can miss the group
    close(fds[1]);
    result.started = true;

    line_collector lines(result.lines, max_lines);
    const int64_t deadline = now_ms() + timeout_ms;
    char chunk[4096];
    for (;;) {
        int64_t left = deadline - now_ms();
        if (left <= 0) {
            result.timed_out = true;
            break;
        }
        struct pollfd p = {fds[0], POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100)));
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n <= 0) {
            continue;
        }
        ssize_t got = read(fds[0], chunk, sizeof(chunk));
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            break;  // end of output (or a broken pipe): the command is done writing
        }
        lines.add(chunk, static_cast<size_t>(got));
    }
    lines.finish();
    close(fds[0]);

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
