#include "support/transcript.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

namespace vesk_test {

namespace {

bool starts(const std::string &s, const char *prefix) {
    return s.rfind(prefix, 0) == 0;
}

void add_text(std::vector<std::string> &out, const std::string &text) {
    for (size_t start = 0; start < text.size();) {
        size_t nl = text.find('\n', start);
        out.push_back(text.substr(start, nl - start));
        if (nl == std::string::npos) {
            out.push_back("\\ no newline");
            return;
        }
        start = nl + 1;
    }
}

// The file lines of a step and of what it gave: compared whole, and written back on update.
std::vector<std::string> render(const TranscriptStep &s) {
    std::vector<std::string> out;
    if (s.kind == TranscriptStep::ACTION) {
        out.push_back("@" + s.text);
    } else {
        out.push_back(s.prompt + s.text);
        add_text(out, s.output);
        if (!s.out_stdout.empty()) {
            out.push_back("\\ stdout:");
            add_text(out, s.out_stdout);
        }
        out.push_back("=> " + std::to_string(s.result));
    }
    for (const std::string &l : s.log)
        out.push_back("log: " + l);
    return out;
}

std::string join(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &l : lines)
        text += "    " + l + "\n";
    return text;
}

std::string unescape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
        } else if (text[++i] == 'n') {
            out += '\n';
        } else if (text[i] == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

std::string cases_load(const std::string &path, std::vector<Case> &cases) {
    std::ifstream in(path);
    if (!in)
        return path + ": cannot be read";
    int n = 0;
    for (std::string l; std::getline(in, l);) {
        const std::string where = path + ":" + std::to_string(++n);
        const size_t arrow = l.find(" => ");
        if (l.empty() || l[0] == '#')
            continue;
        if (arrow == std::string::npos)
            return where + ": no \" => \" in the case";
        cases.push_back({where, unescape(l.substr(0, arrow)), unescape(l.substr(arrow + 4))});
    }
    return "";
}

std::vector<std::string> transcript_names(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".txt")
            names.push_back(entry.path().stem());
    std::sort(names.begin(), names.end());
    return names;
}

std::string transcript_load(const std::string &path, Transcript &t) {
    static const std::regex prompt(R"(^(\S*[#>] )(.*)$)");
    t.path = path;
    std::ifstream in(path);
    if (!in)
        return path + ": cannot be read";
    for (std::string l; std::getline(in, l);)
        t.lines.push_back(l);
    for (size_t i = 0; i < t.lines.size();) {
        const std::string &l = t.lines[i];
        TranscriptStep s;
        s.line = static_cast<int>(i + 1);
        std::smatch m;
        const std::string at = path + ":" + std::to_string(s.line) + ": ";
        if (l.empty() || l[0] == '#') {
            i++;
            continue;
        }
        if (l[0] == '@') {
            s.kind = TranscriptStep::ACTION;
            s.text = l.substr(1);
        } else if (starts(l, "- ")) {
            s.kind = TranscriptStep::SETUP;
            s.text = l.substr(2);
        } else if (std::regex_match(l, m, prompt)) {
            s.prompt = m[1];
            s.text = m[2];
        } else {
            return at + "a comment, an action, a set-up line or a command was expected";
        }
        ++i;
        std::string *into = &s.output;
        for (; s.kind == TranscriptStep::COMMAND; i++) {
            if (i == t.lines.size())
                return at + "no \"=> N\" ends the command";
            const std::string &o = t.lines[i];
            char *end = nullptr;
            if (starts(o, "=> ")) {
                s.result = static_cast<int>(std::strtol(o.c_str() + 3, &end, 10));
                if (*end != '\0' || end == o.c_str() + 3)
                    return path + ":" + std::to_string(i + 1) + ": bad result";
                i++;
                break;
            }
            if (o == "\\ stdout:")
                into = &s.out_stdout;
            else if (o == "\\ no newline" && !into->empty())
                into->pop_back();
            else
                *into += o + "\n";
        }
        for (; i < t.lines.size() && starts(t.lines[i], "log: "); i++)
            s.log.push_back(t.lines[i].substr(5));
        s.end = i;
        t.steps.push_back(s);
    }
    return "";
}

std::string transcript_run(Transcript &t, const TranscriptRunner &run) {
    const char *env = std::getenv("VESK_UPDATE_GOLDEN");
    const bool update = env != nullptr && std::string(env) == "1";
    std::vector<std::pair<const TranscriptStep *, std::vector<std::string>>> gave;
    for (const TranscriptStep &s : t.steps) {
        TranscriptStep a;
        a.kind = s.kind;
        a.text = s.text;
        const std::string at = t.path + ":" + std::to_string(s.line) + ": ";
        std::string err = run(s, a);
        if (!err.empty())
            return at + err;
        if (s.kind == TranscriptStep::SETUP) {
            if (a.result != 0)
                return at + "the set-up line gave " + std::to_string(a.result) + ":\n" + a.output;
            continue;
        }
        std::vector<std::string> want = render(s), got = render(a);
        if (update)
            gave.emplace_back(&s, got);
        else if (got != want)
            return at + "the step gave\n" + join(got) + "instead of\n" + join(want);
    }
    for (auto it = gave.rbegin(); it != gave.rend(); ++it) {
        auto from = t.lines.begin() + it->first->line - 1;
        t.lines.insert(t.lines.erase(from, t.lines.begin() + it->first->end), it->second.begin(),
                       it->second.end());
    }
    if (update) {
        std::ofstream out(t.path, std::ios::trunc);
        for (const std::string &l : t.lines)
            out << l << "\n";
    }
    return "";
}

} // namespace vesk_test
