#pragma once

// the single instance check

#include <string>
#include <vector>
#include <sys/types.h>

// true when a process other than self runs under the command name of
// program (the kernel keeps the first 15 characters of it)
bool orlixmon_other_instance_running(const std::string& program, pid_t self);

// the same decision over the lines of `ps -eo pid=,comm=`
bool orlixmon_ps_lines_show_instance(const std::vector<std::string>& lines,
                                     const std::string& program, pid_t self);
