// The command shell's syntax compiler and matcher: turns a syntax string with its help array
// into slots, and matches the words of a line against them (framework-internal).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zet::cli {

enum class TokenKind { Keyword, Range, Variable, Line };

struct Token {
    TokenKind kind = TokenKind::Keyword;
    std::string text; // keyword, "<lo-hi>", or the variable's name
    long long lo = 0, hi = 0;
    std::string help;
};

// One word position of a syntax: a single token, or a group of alternatives.
struct Slot {
    std::vector<Token> alts;
    bool group = false;    // written as (a|b|...): a chosen alternative adds an argument
    bool optional = false; // the group has an empty alternative
};

// Compiles a syntax string; gives false with a reason for a malformed one.
bool compile_syntax(const char *syntax, const char *const *help, std::vector<Slot> &slots,
                    std::string &error);

// A word of a line: its text and where it starts in the line.
struct Word {
    std::string text;
    size_t offset = 0;
};
// Splits a line at blanks and tabs.
std::vector<Word> split_words(std::string_view line);

// How well a word matches a token; higher is better.
enum MatchRank : int {
    RANK_NONE = 0,
    RANK_VARIABLE = 1,
    RANK_PARTIAL = 2,
    RANK_RANGE = 3,
    RANK_EXACT = 4,
};
MatchRank match_word(const Token &token, std::string_view word);
// Text that a range token accepts: an optional sign then decimal digits.
bool is_decimal(std::string_view word);

// One way of matching words against a syntax.
struct Path {
    std::vector<int> ranks;            // per word
    std::vector<const Token *> tokens; // per word: the token it matched
    std::vector<std::string> args;     // the handler's arguments
    size_t slot = 0;                   // slots used
    bool complete = false;             // every slot used or skippable
};

// Every way of matching all of words against slots. Paths that consumed all words are kept
// whether or not the syntax is complete; progress gets the most words any path matched.
void match_all(const std::vector<Slot> &slots, const std::vector<Word> &words,
               std::string_view line, std::vector<Path> &paths, size_t &progress);

// Lexicographic comparison of rank vectors (same length).
int compare_ranks(const std::vector<int> &a, const std::vector<int> &b);

// The tokens that may follow after slot index `slot` (skipping optional groups), and whether
// the syntax may end there.
void next_tokens(const std::vector<Slot> &slots, size_t slot, std::vector<const Token *> &out,
                 bool &can_end);

} // namespace zet::cli
