#include "support/transcript.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace vesk_test {

namespace {

bool starts(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

void add_text(std::vector<std::string> &out, const std::string &text) {
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    if (!text.empty() && text.back() != '\n')
        out.push_back("\\ no newline");
}

// Lines around the first one where got differs from want.
std::string difference(const std::string &path, const std::vector<std::string> &want,
                       const std::vector<std::string> &got) {
    const size_t at =
        std::mismatch(want.begin(), want.end(), got.begin(), got.end()).first - want.begin();
    auto around = [at](const std::vector<std::string> &lines) {
        std::string text;
        for (size_t i = at < 3 ? 0 : at - 3; i < std::min(lines.size(), at + 4); i++)
            text += (i == at ? "  > " : "    ") + lines[i] + "\n";
        return text;
    };
    return path + ":" + std::to_string(at + 1) + ": the run gave\n" + around(got) +
           "where the file says\n" + around(want);
}

} // namespace

std::string transcript_run(const std::string &path, const TranscriptRunner &run) {
    static const std::regex prompt(R"(^(\S*[#>] )(.*)$)");
    std::vector<std::string> want, got;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);)
        want.push_back(l);
    if (want.empty())
        return path + ": cannot be read";
    for (size_t i = 0; i < want.size();) {
        const std::string &l = want[i++];
        const std::string at = path + ":" + std::to_string(i) + ": ";
        std::smatch m;
        StepResult r;
        const char kind = l.empty() || l[0] == '#'         ? '#'
                          : l[0] == '@'                    ? '@'
                          : starts(l, "- ")                ? '-'
                          : std::regex_match(l, m, prompt) ? '>'
                                                           : '?';
        if (kind == '?')
            return at + "a comment, an action, a set-up line or a command was expected";
        got.push_back(l);
        if (kind == '#')
            continue;
        const std::string text = kind == '>' ? std::string(m[2]) : l.substr(kind == '@' ? 1 : 2);
        if (std::string err = run(kind, kind == '>' ? std::string(m[1]) : "", text, r);
            !err.empty())
            return at + err;
        if (kind == '-' && r.result != 0)
            return at + "the set-up line gave " + std::to_string(r.result) + ":\n" + r.output;
        if (kind == '>') {
            got.back() = r.prompt + text;
            while (i < want.size() && !starts(want[i], "=> "))
                i++;
            if (i++ == want.size())
                return at + "no \"=> N\" ends the command";
            add_text(got, r.output);
            if (!r.out_stdout.empty()) {
                got.push_back("\\ stdout:");
                add_text(got, r.out_stdout);
            }
            got.push_back("=> " + std::to_string(r.result));
        }
        for (; i < want.size() && starts(want[i], "log: "); i++)
            if (kind == '-')
                got.push_back(want[i]);
        if (kind != '-')
            for (const std::string &log : r.log)
                got.push_back("log: " + log);
    }
    const char *env = std::getenv("VESK_UPDATE_GOLDEN");
    if (env != nullptr && std::string(env) == "1") {
        std::ofstream out(path, std::ios::trunc);
        for (const std::string &l : got)
            out << l << "\n";
    } else if (got != want) {
        return difference(path, want, got);
    }
    return "";
}

} // namespace vesk_test
