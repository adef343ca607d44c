// Text helpers the test drivers share.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

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

} // namespace vesk_test
