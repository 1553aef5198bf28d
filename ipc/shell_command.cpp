#include "ipc/shell_command.h"

#include <cstdint>
#include <cstdio>
#include <sys/wait.h>

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

ipc_shell_result_s ipc_shell_run(const std::string& command, size_t max_lines)
{
    ipc_shell_result_s result;
    FILE* pipe = popen(command.c_str(), "re");
    if (pipe == nullptr)
        return result;
    result.started = true;

    std::string line;
    char chunk[256];
    bool line_open = false;
    while (fgets(chunk, sizeof(chunk), pipe) != nullptr) {
        line.append(chunk);
        line_open = true;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            if (result.lines.size() < max_lines)
                result.lines.push_back(line);
            line.clear();
            line_open = false;
        }
    }
    if (line_open && result.lines.size() < max_lines)
        result.lines.push_back(line);

    int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) {
        result.exited = true;
        result.exit_status = WEXITSTATUS(status);
    }
    return result;
}
