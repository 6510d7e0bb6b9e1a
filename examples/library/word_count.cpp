// word_count.cpp - counts the words of its standard input with the library's
// hash table and prints the most frequent ones.
//
// ov::hash_map<std::string, T> keeps its own copy of each key and stores a
// pointer to each value; here the counts live in a std::deque, which never
// moves its elements, so the pointers stay good while the table grows.
//
// Usage: word_count [TOP] < TEXT   (default: the 5 most frequent words)
// Exit status: 0 done, 1 failure.
#include <ovplatform/ovplatform.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

int main(int argc, char **argv) {
    const std::size_t top = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5;
    const auto session = ov::platform_session::start();

    auto table = ov::hash_map<std::string, std::size_t>::create();
    if (!table) {
        std::fprintf(stderr, "word_count: %s\n", table.error().message().c_str());
        return 1;
    }
    std::deque<std::size_t> counts;
    std::size_t words = 0;

    std::string line, word;
    while (std::getline(std::cin, line)) {
        line.push_back(' ');
        for (const char c : line) {
            if (std::isalpha(static_cast<unsigned char>(c)) || (c == '\'' && !word.empty())) {
                word.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
                continue;
            }
            if (word.empty()) continue;
            ++words;
            if (std::size_t *count = table->get(word)) {
                ++*count;
            } else {
                counts.push_back(1);
                if (const std::error_code error = table->put(word, &counts.back())) {
                    std::fprintf(stderr, "word_count: %s\n", error.message().c_str());
                    return 1;
                }
            }
            word.clear();
        }
    }

    // The table walks in bucket order; sort by count, then by word.
    std::vector<std::pair<std::size_t, std::string>> ranked;
    for (const auto &[key, count] : *table) ranked.emplace_back(*count, key);
    std::sort(ranked.begin(), ranked.end(), [](const auto &a, const auto &b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });

    std::printf("%zu words, %zu different\n", words, ranked.size());
    for (std::size_t i = 0; i < ranked.size() && i < top; ++i) {
        std::printf("%6zu  %s\n", ranked[i].first, ranked[i].second.c_str());
    }
    return 0;
}
