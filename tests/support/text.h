// Text helpers the test drivers share.
#pragma once

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vesk_test {

// A file's bytes; "" when it cannot be read.
inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The parts of text between the separators (one part when it has none).
inline std::vector<std::string> split(const std::string &text, const std::string &sep = " ") {
    std::vector<std::string> parts;
    for (size_t at = 0, end; at <= text.size(); at = end + sep.size()) {
        end = std::min(text.find(sep, at), text.size());
        parts.push_back(text.substr(at, end - at));
    }
    return parts;
}

} // namespace vesk_test
