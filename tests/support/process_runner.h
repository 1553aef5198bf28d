#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// runs a program as a child process with its standard output and error
// captured in files, for tests that judge a program by what it prints and
// how it ends. every wait is bounded.
class test_process {
public:
    // argv[0] is the program path; output files go into work_dir
    test_process(std::vector<std::string> argv, const std::string& work_dir);
    ~test_process();  // kills a child still running

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // waits for the end; false on timeout (scaled as test_wait_until's; the
    // child keeps running)
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void signal(int signo);

    bool exited() const { return exited_; }
    int exit_status() const { return exit_status_; }
    std::string out() const;
    std::string err() const;

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    bool reaped_ = false;
    int exit_status_ = -1;
    std::string out_path_, err_path_;
};

// the factor of every wall-clock bound of a test: ORLIX_TIMEOUT_SCALE (the
// sanitizer builds' slowdown, at least 1) times the machine's load (the
// one-minute load average per processor, rounded up, 1 to 4): a suite run
// beside builds or with many tests at once must not fail for being slow.
// read anew at each call, as the load changes
int test_timeout_scale();

// polls cond every 10 ms until it holds or the timeout, times
// test_timeout_scale(), passes: give the bound of a plain build on an idle
// machine. test_process::wait waits the same way
bool test_wait_until(const std::function<bool()>& cond,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));

// a private folder under /tmp, removed at the end
class test_temp_dir {
public:
    explicit test_temp_dir(const char* tag = "orlix-test");
    ~test_temp_dir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string test_read_file(const std::string& path);
void test_write_file(const std::string& path, const std::string& text);

// whether text holds part, and how many times (overlaps counted)
inline bool test_has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
inline size_t test_count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        n++;
    }
    return n;
}

// every from in text replaced by to
std::string test_replace_all(std::string text, const std::string& from, const std::string& to);

// a copy of the built daemon in dir under a name of its own (prefix, the
// test's pid and a count), so that no other test's daemon counts as "already
// running"; dir is opened to everyone so the copy can run. empty on failure
std::string test_private_daemon(const test_temp_dir& dir, const std::string& prefix);
