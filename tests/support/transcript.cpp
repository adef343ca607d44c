#include "support/transcript.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace vesk_test {

void run_transcript(const std::string &path, const std::function<std::string()> &prompt,
                    const std::function<TranscriptStep(const std::string &text, bool typed)> &run) {
    static const std::regex prompted(R"(^(\S*[#>] )(.*)$)");
    std::vector<std::string> want, got; // want as written: a missing last line end is no step
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);)
        want.push_back(l);
    ASSERT_FALSE(want.empty()) << path << " cannot be read";
    auto is_step = [](const std::string &l) {
        return l.rfind("\\", 0) != 0 &&
               (l.rfind("=> ", 0) == 0 || l.rfind("log: ", 0) == 0 || l.rfind("#", 0) == 0 ||
                l.rfind("@", 0) == 0 || l.rfind("< ", 0) == 0 || std::regex_match(l, prompted));
    };
    for (size_t i = 0; i < want.size();) {
        SCOPED_TRACE(path + ":" + std::to_string(i + 1));
        const std::string &l = want[i++];
        got.push_back(l);
        std::smatch m;
        if (l.empty() || l[0] == '#')
            continue;
        if (l.rfind("< ", 0) == 0) {
            run_transcript(std::filesystem::path(path).parent_path() / l.substr(2), prompt, run);
            continue;
        }
        const bool typed = std::regex_match(l, m, prompted);
        ASSERT_TRUE(typed || l[0] == '@') << "a comment, an action or a command was expected";
        const std::string text = typed ? m.str(2) : l.substr(1);
        if (typed)
            got.back() = prompt() + text;
        TranscriptStep step = run(text, typed);
        std::vector<std::string> &printed = step.printed;
        // Printed text that reads as a step ("# HELP" of the metrics) is written after "\".
        for (std::string &p : printed)
            if (is_step(p))
                p.insert(0, "\\");
        // What the step printed runs to the next step; blank lines beyond it separate steps.
        size_t end = i;
        while (end < want.size() && !is_step(want[end]))
            end++;
        got.insert(got.end(), printed.begin(), printed.end());
        if (step.result != (!printed.empty() && printed[0].starts_with("% ") ? 1 : 0))
            got.push_back("=> " + std::to_string(step.result));
        auto blanks = [](auto from, auto to) {
            return std::find_if(from, to, [](auto &t) { return !t.empty(); }) - from;
        };
        for (auto k = blanks(want.rbegin() + long(want.size() - end), want.rend() - long(i)) -
                      blanks(printed.rbegin(), printed.rend());
             k > 0; k--)
            got.push_back("");
        i = end;
        if (i < want.size() && want[i].rfind("=> ", 0) == 0)
            i++;
        while (i < want.size() && want[i].rfind("log: ", 0) == 0)
            i++;
        for (const std::string &line : step.logged)
            got.push_back("log: " + line);
    }
    const char *update = std::getenv("VESK_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1")
        for (std::ofstream out(path, std::ios::trunc); const std::string &l : got)
            out << l << "\n";
    else if (got != want) {
        const auto at = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
        ADD_FAILURE() << path << ":" << at.first - want.begin() + 1 << ": the run gave\n  "
                      << (at.second == got.end() ? "(the end)" : *at.second)
                      << "\nwhere the file says\n  "
                      << (at.first == want.end() ? "(the end)" : *at.first);
    }
}

void PrintTo(const Case &c, std::ostream *os) {
    *os << std::filesystem::path(c.path).lexically_relative(VESK_SOURCE_DIR).string();
}

std::vector<Case> read_cases(const std::string &dir, const std::string &names) {
    std::vector<std::filesystem::path> paths;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir))
        if (std::set<std::string>{".scn", ".txt", ".vty"}.contains(e.path().extension()) &&
            std::regex_match(e.path().stem().string(), std::regex(names)))
            paths.push_back(e.path());
    std::sort(paths.begin(), paths.end());
    static const std::regex prefixed(R"((?:<(\d+) |(\d+)\.\.(\d+) |(\d+)x )?(\S*) ?(.*))");
    auto num = [](const std::string &text, long none) {
        return text.empty() ? none : std::stol(text);
    };
    std::vector<Case> cases;
    for (const std::filesystem::path &path : paths) {
        const std::string stem = std::regex_replace(path.stem().string(), std::regex("-"), "_");
        const size_t first = cases.size();
        std::vector<Step> shared; // the steps before the first test
        auto *steps = &shared;
        std::ifstream in(path);
        std::smatch m;
        std::string line;
        for (int n = 1; path.extension() != ".txt" && std::getline(in, line); n++) {
            if (line.empty() || line[0] == '#')
                continue;
            if (std::strchr("=~!%", line[0]) && (line.size() == 1 || line[1] == ' '))
                steps->back().checks.push_back(line);
            else if (line.starts_with("test ")) {
                cases.push_back({stem + "_" + line.substr(5), path, shared});
                steps = &cases.back().steps;
            } else if (std::regex_match(line, m, prefixed)) { // one of m[1] and m[3] at most
                const long max = num(m[1].str() + m[3].str(), -1);
                steps->push_back({n, int(num(m[4], 1)), num(m[2], -1), max, m[5], m[6], {}});
            }
        }
        if (cases.size() == first) // a transcript, or a scenario file without tests
            cases.push_back({stem, path, shared});
    }
    return cases;
}

std::vector<std::string> text_lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    if (!text.empty() && text.back() != '\n')
        out.push_back("\\ no newline");
    return out;
}

} // namespace vesk_test
