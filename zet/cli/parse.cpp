#include "zet/cli/parse.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace zet::cli {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool is_variable_name(std::string_view t) {
    if (t.empty() || !std::isupper(static_cast<unsigned char>(t[0])))
        return false;
    for (char c : t)
        if (!(std::isupper(static_cast<unsigned char>(c)) ||
              std::isdigit(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == ':' ||
              c == '-'))
            return false;
    return true;
}

bool parse_number(std::string_view t, long long &v) {
    if (!is_decimal(t))
        return false;
    std::string s(t);
    errno = 0;
    char *end = nullptr;
    v = std::strtoll(s.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

// "<lo-hi>" with optional signs on both numbers.
bool parse_range(std::string_view t, long long &lo, long long &hi) {
    if (t.size() < 5 || t.front() != '<' || t.back() != '>')
        return false;
    std::string_view body = t.substr(1, t.size() - 2);
    // The separating '-' is the first one after at least one digit.
    size_t i = 0;
    if (i < body.size() && (body[i] == '-' || body[i] == '+'))
        i++;
    while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i])))
        i++;
    if (i >= body.size() || body[i] != '-')
        return false;
    return parse_number(body.substr(0, i), lo) && parse_number(body.substr(i + 1), hi) && lo <= hi;
}

bool make_token(std::string_view text, Token &tok, std::string &error) {
    if (text.empty()) {
        error = "empty word";
        return false;
    }
    tok.text = std::string(text);
    if (text.front() == '<') {
        if (!parse_range(text, tok.lo, tok.hi)) {
            error = "bad range \"" + tok.text + "\"";
            return false;
        }
        tok.kind = TokenKind::Range;
    } else if (text == "LINE" || text == ".LINE") {
        tok.kind = TokenKind::Line;
        tok.text = "LINE";
    } else if (is_variable_name(text)) {
        tok.kind = TokenKind::Variable;
    } else {
        for (char c : text)
            if (is_blank(c) || c == '(' || c == ')' || c == '|' || c == '<' || c == '>' ||
                c == '?') {
                error = "bad keyword \"" + tok.text + "\"";
                return false;
            }
        tok.kind = TokenKind::Keyword;
    }
    return true;
}

} // namespace

bool is_decimal(std::string_view w) {
    size_t i = 0;
    if (i < w.size() && (w[i] == '-' || w[i] == '+'))
        i++;
    if (i == w.size())
        return false;
    for (; i < w.size(); i++)
        if (!std::isdigit(static_cast<unsigned char>(w[i])))
            return false;
    return true;
}

bool compile_syntax(const char *syntax, const char *const *help, std::vector<Slot> &slots,
                    std::string &error) {
    slots.clear();
    if (syntax == nullptr) {
        error = "no syntax";
        return false;
    }
    std::string_view s(syntax);
    size_t i = 0;
    bool help_done = help == nullptr;
    auto next_help = [&]() -> std::string {
        if (help_done || *help == nullptr) {
            help_done = true;
            return {};
        }
        return *help++;
    };
    while (i < s.size()) {
        while (i < s.size() && is_blank(s[i]))
            i++;
        if (i >= s.size())
            break;
        Slot slot;
        if (s[i] == '(') {
            size_t close = s.find(')', i);
            if (close == std::string_view::npos) {
                error = "unbalanced \"(\"";
                return false;
            }
            std::string_view body = s.substr(i + 1, close - i - 1);
            slot.group = true;
            size_t start = 0;
            while (true) {
                size_t bar = body.find('|', start);
                std::string_view alt = body.substr(
                    start, bar == std::string_view::npos ? std::string_view::npos : bar - start);
                while (!alt.empty() && is_blank(alt.front()))
                    alt.remove_prefix(1);
                while (!alt.empty() && is_blank(alt.back()))
                    alt.remove_suffix(1);
                if (alt.empty()) {
                    slot.optional = true;
                } else {
                    Token tok;
                    if (!make_token(alt, tok, error))
                        return false;
                    if (tok.kind == TokenKind::Line) {
                        error = "LINE inside alternatives";
                        return false;
                    }
                    slot.alts.push_back(std::move(tok));
                }
                if (bar == std::string_view::npos)
                    break;
                start = bar + 1;
            }
            if (slot.alts.empty()) {
                error = "alternatives with no word";
                return false;
            }
            i = close + 1;
            if (i < s.size() && !is_blank(s[i])) {
                error = "text after \")\"";
                return false;
            }
        } else {
            size_t end = i;
            while (end < s.size() && !is_blank(s[end]))
                end++;
            Token tok;
            if (!make_token(s.substr(i, end - i), tok, error))
                return false;
            slot.alts.push_back(std::move(tok));
            i = end;
        }
        for (auto &t : slot.alts)
            t.help = next_help();
        slots.push_back(std::move(slot));
    }
    if (slots.empty()) {
        error = "empty syntax";
        return false;
    }
    for (size_t k = 0; k + 1 < slots.size(); k++)
        if (slots[k].alts.front().kind == TokenKind::Line) {
            error = "LINE before the last word";
            return false;
        }
    return true;
}

std::vector<Word> split_words(std::string_view line) {
    std::vector<Word> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i]))
            i++;
        if (i >= line.size())
            break;
        size_t start = i;
        while (i < line.size() && !is_blank(line[i]))
            i++;
        words.push_back(Word{std::string(line.substr(start, i - start)), start});
    }
    return words;
}

MatchRank match_word(const Token &token, std::string_view word) {
    if (word.empty())
        return RANK_NONE;
    switch (token.kind) {
    case TokenKind::Keyword:
        if (word == token.text)
            return RANK_EXACT;
        if (word.size() < token.text.size() && token.text.compare(0, word.size(), word) == 0)
            return RANK_PARTIAL;
        return RANK_NONE;
    case TokenKind::Range:
        return is_decimal(word) ? RANK_RANGE : RANK_NONE;
    case TokenKind::Variable:
    case TokenKind::Line:
        return RANK_VARIABLE;
    }
    return RANK_NONE;
}

void next_tokens(const std::vector<Slot> &slots, size_t slot, std::vector<const Token *> &out,
                 bool &can_end) {
    can_end = false;
    for (size_t i = slot; i < slots.size(); i++) {
        for (const auto &t : slots[i].alts)
            out.push_back(&t);
        if (!slots[i].optional)
            return;
    }
    can_end = true;
}

namespace {

struct Matcher {
    const std::vector<Slot> &slots;
    const std::vector<Word> &words;
    std::string_view line;
    std::vector<Path> &paths;
    size_t progress = 0;
    Path cur;

    void record(size_t slot) {
        Path p = cur;
        p.slot = slot;
        std::vector<const Token *> ignored;
        next_tokens(slots, slot, ignored, p.complete);
        paths.push_back(std::move(p));
    }

    void walk(size_t slot, size_t word) {
        if (word > progress)
            progress = word;
        if (word == words.size()) {
            record(slot);
            return;
        }
        if (slot == slots.size())
            return;
        const Slot &s = slots[slot];
        for (const auto &tok : s.alts) {
            if (tok.kind == TokenKind::Line) {
                std::string rest(line.substr(words[word].offset));
                while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t'))
                    rest.pop_back();
                size_t n = words.size() - word;
                cur.ranks.insert(cur.ranks.end(), n, RANK_VARIABLE);
                cur.tokens.insert(cur.tokens.end(), n, &tok);
                cur.args.push_back(rest);
                walk(slot + 1, words.size());
                cur.args.pop_back();
                cur.ranks.resize(cur.ranks.size() - n);
                cur.tokens.resize(cur.tokens.size() - n);
                continue;
            }
            MatchRank r = match_word(tok, words[word].text);
            if (r == RANK_NONE)
                continue;
            cur.ranks.push_back(r);
            cur.tokens.push_back(&tok);
            bool adds = s.group || tok.kind != TokenKind::Keyword;
            if (adds)
                cur.args.push_back(tok.kind == TokenKind::Keyword ? tok.text : words[word].text);
            walk(slot + 1, word + 1);
            if (adds)
                cur.args.pop_back();
            cur.ranks.pop_back();
            cur.tokens.pop_back();
        }
        if (s.optional)
            walk(slot + 1, word);
    }
};

} // namespace

void match_all(const std::vector<Slot> &slots, const std::vector<Word> &words,
               std::string_view line, std::vector<Path> &paths, size_t &progress) {
    Matcher m{slots, words, line, paths, 0, {}};
    m.walk(0, 0);
    progress = m.progress;
}

int compare_ranks(const std::vector<int> &a, const std::vector<int> &b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

} // namespace zet::cli
