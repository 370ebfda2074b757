// Expected behaviour kept as data: text tables of whitespace-separated columns, '#' starting a
// comment line. The bezel state machine's transitions (transitions.txt) are read by the state
// machine test and the controller model test alike.
#pragma once
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace table {

// The rows of a table: the first columns - 1 words of each line, then the rest of the line.
inline std::vector<std::vector<std::string>> Rows(const char* path, std::size_t columns) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream words(line);
        std::vector<std::string> row(columns);
        for (std::size_t i = 0; i + 1 < columns; ++i) words >> row[i];
        std::getline(words >> std::ws, row.back());
        if (row.back().empty()) throw std::runtime_error("short row: " + line);
        rows.push_back(row);
    }
    return rows;
}

struct Transition {
    std::string from, event, action, to;  // action: "Show", "Hide" or "-"
};

inline std::vector<Transition> Read(const char* path) {
    std::vector<Transition> transitions;
    for (const auto& row : Rows(path, 4)) {
        transitions.push_back({row[0], row[1], row[2], row[3]});
    }
    return transitions;
}

// The accepted transition of this state and event, or null: rejected.
inline const Transition* Find(const std::vector<Transition>& rows, const std::string& from,
                              const std::string& event) {
    for (const Transition& t : rows) {
        if (t.from == from && t.event == event) return &t;
    }
    return nullptr;
}

}  // namespace table
