// the figure lines and the JSON-lines check of the fault tests

#include "tests/reliability/reliability_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

void reliability_figure(const std::string& name, const std::vector<std::pair<std::string, figure_value_s>>& values)
{
    std::string line = "FIGURE " + name;
    for (const auto& [key, value] : values) {
        line += " " + key + "=" + value.text;
    }
    printf("%s\n", line.c_str());
    fflush(stdout);
}

jsonl_check_s reliability_check_jsonl(const std::string& path)
{
    jsonl_check_s r;
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string all = text.str();
    r.cut = !all.empty() && all.back() != '\n';
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);) {
        (line.rfind("*** Boot #", 0) == 0 ? r.banners : r.lines)++;
    }
    // one jq for the whole file: every line that is not a banner and does
    // not parse as one JSON object counts
    std::string cmd = "jq -nR '[inputs | select(startswith(\"*** Boot #\") | not) | "
                      "select((try fromjson catch null) | type != \"object\")] | length' '" + path + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    unsigned long bad = 0;
    bool read = p && fscanf(p, "%lu", &bad) == 1;
    r.unreadable = !(p && pclose(p) == 0 && read);
    r.bad = bad;
    return r;
}

bool reliability_zombie_child()
{
    siginfo_t info = {};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}
