// The diff core as a command, for the WebAssembly build:
//   driver diff OLD NEW      writes the patch that turns tree OLD into tree NEW
//   driver apply TREE PATCH  writes the tree that PATCH makes of TREE
// Each argument names a file. The result goes to stdout; on a failure of the
// core its message goes to stderr and the exit status is 1 (2 for bad use).
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "operations.hpp"

namespace {

bool read_file(const char* path, std::string& out) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    char buf[1 << 16];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::string_view command = argc == 4 ? argv[1] : "";
    if (command != "diff" && command != "apply") {
        std::fputs("usage: driver diff OLD NEW | driver apply TREE PATCH\n", stderr);
        return 2;
    }
    std::string first, second;
    for (auto [path, text] : {std::pair{argv[2], &first}, std::pair{argv[3], &second}}) {
        if (!read_file(path, *text)) {
            std::fprintf(stderr, "cannot read %s\n", path);
            return 2;
        }
    }
    vorlan::Result<std::string> result =
        command == "diff" ? vorlan::diff_json(first, second) : vorlan::apply_json(first, second);
    if (!result.ok()) {
        std::fprintf(stderr, "%s\n", result.error().c_str());
        return 1;
    }
    const std::string& out = result.value();
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) return 2;
    return 0;
}
