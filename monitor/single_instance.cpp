// refuses a second running monitor by its exact command name

#include "monitor/single_instance.h"

#include <cstdlib>

#include "ipc/shell_command.h"

// the kernel's command name is at most 15 characters
static constexpr size_t k_comm_max = 15;

bool orlixmon_ps_lines_show_instance(const std::vector<std::string>& lines,
                                     const std::string& program, pid_t self)
{
    const std::string comm = program.substr(0, k_comm_max);
    for (const auto& line : lines) {
        char* end = nullptr;
        long pid = std::strtol(line.c_str(), &end, 10);
        if (end == line.c_str()) {
            continue;
        }
        size_t name_at = line.find_first_not_of(' ', end - line.c_str());
        if (name_at == std::string::npos) {
            continue;
        }
        std::string name = line.substr(name_at);
        name.erase(name.find_last_not_of(' ') + 1);
        if (pid != self && name == comm) {
            return true;
        }
    }
    return false;
}

bool orlixmon_other_instance_running(const std::string& program, pid_t self)
{
    ipc_shell_result_s ps = ipc_shell_run("ps -eo pid=,comm=");
    // no ps to ask: nothing found
    if (!ps.started) {
        return false;
    }
    return orlixmon_ps_lines_show_instance(ps.lines, program, self);
}
