// tessaly-extract-messages: writes the catalogue template of the texts the
// window logic writes in GBK (escaped bytes that xgettext cannot read as text).
//
//   tessaly-extract-messages --root SRCDIR --output FILE.pot PATH...
//
// PATHs are relative to SRCDIR and appear so in the "#:" references.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/message_scan.h"

int main(int argc, char** argv)
{
    std::string root = ".";
    std::string output;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--root" && i + 1 < argc) root = argv[++i];
        else if (a == "--output" && i + 1 < argc) output = argv[++i];
        else paths.push_back(a);
    }
    if (output.empty()) {
        std::fprintf(stderr, "usage: tessaly-extract-messages --root SRCDIR --output FILE.pot PATH...\n");
        return 2;
    }
    std::vector<MessageEntry> entries;
    for (const std::string& path : paths) {
        std::ifstream in(root + "/" + path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "tessaly-extract-messages: cannot read %s/%s\n", root.c_str(), path.c_str());
            return 1;
        }
        std::ostringstream text;
        text << in.rdbuf();
        Messages_collect(path, text.str(), &entries);
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out << Messages_writePot(entries);
    out.close();
    if (!out) {
        std::fprintf(stderr, "tessaly-extract-messages: cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}
