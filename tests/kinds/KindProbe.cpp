// Prints the kind the recogniser gives each file named, one "kind<TAB>path" line each, for the
// test of the table of kinds.
#include "FileKinds.h"

#include <cstdio>
#include <filesystem>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const KindInfo& info = InfoOf(KindOfFile(std::filesystem::path(argv[i])));
        std::printf("%.*s\t%s\n", static_cast<int>(info.id.size()), info.id.data(), argv[i]);
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
