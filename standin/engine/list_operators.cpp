// Writes the engine's operator names, one a line: the build turns them into the compiler's operator list.
#include <cstdio>

#include "graph.hpp"

int main() {
    for (const std::string &name : zelt::engine::operator_names()) std::printf("%s\n", name.c_str());
    return std::ferror(stdout) ? 1 : 0;
}
