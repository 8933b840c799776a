/*
 * Runs a fuzz target over stored inputs without libFuzzer:
 *   orvi-fuzz-replay TARGET FILE|FOLDER...
 * Every file (folders: every file in them) goes through the target once; a broken rule
 * aborts with the file's name printed just before.
 */
#include "fuzz_targets.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using Target = int (*)(const uint8_t*, size_t);

struct NamedTarget {
    const char* name;
    Target function;
};

const NamedTarget kTargets[] = {
    {"manifest", fuzzManifest}, {"transfer", fuzzTransfer}, {"replies", fuzzReplies}, {"version", fuzzVersion}};

void collect(const std::string& path, std::vector<std::string>* files)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return;
    if (!S_ISDIR(status.st_mode)) {
        files->push_back(path);
        return;
    }
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr)
        return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(folder)) {
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        collect(path + "/" + name, files);
}

} // namespace

int main(int argc, char** argv)
{
    Target target = nullptr;
    for (const NamedTarget& t : kTargets) {
        if (argc > 1 && std::strcmp(argv[1], t.name) == 0)
            target = t.function;
    }
    if (target == nullptr) {
        std::fprintf(stderr, "usage: %s manifest|transfer|replies|version FILE|FOLDER...\n", argv[0]);
        return 2;
    }
    std::vector<std::string> files;
    for (int i = 2; i < argc; ++i)
        collect(argv[i], &files);
    if (files.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 2;
    }
    for (const std::string& name : files) {
        std::fprintf(stderr, "%s\n", name.c_str());
        std::ifstream in(name, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        target(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "%zu inputs passed\n", files.size());
    return 0;
}
