// Writes the engine's operator names to the file given, one a line: the build turns them into the
// compiler's operator list.
#include <fstream>

#include "graph.hpp"

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    std::ofstream out(argv[1]);
    for (const std::string &name : zelt::engine::operator_names()) out << name << '\n';
    out.close();
    return out ? 0 : 1;
}
