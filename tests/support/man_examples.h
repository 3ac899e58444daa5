// The example command lines of a tool's man page, from the help2man
// include file the page is made with: the lines that begin with the tool's
// name in the page's no-fill blocks, with roff's escapes undone.
#pragma once

#include <fstream>
#include <string>
#include <vector>

inline std::vector<std::string> ManExamples(const std::string& includeFile, const std::string& tool) {
    std::vector<std::string> examples;
    std::ifstream in(includeFile);
    bool noFill = false;
    for (std::string line; std::getline(in, line);) {
        if (line == ".nf" || line == ".fi") noFill = line == ".nf";
        if (!noFill || line.rfind(tool + " ", 0) != 0) continue;
        std::string text;
        for (size_t at = 0; at < line.size(); ++at) {
            if (line.compare(at, 2, "\\-") == 0) {
                text += '-';
                ++at;
            } else if (line.compare(at, 4, "\\(aq") == 0) {
                text += '\'';
                at += 3;
            } else {
                text += line[at];
            }
        }
        examples.push_back(text.substr(tool.size() + 1));
    }
    return examples;
}
