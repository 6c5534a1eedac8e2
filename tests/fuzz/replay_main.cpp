// Replays fuzz inputs (files, or every file of the given directories) through the fuzz
// target once each, as an ordinary test.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        struct stat st {};
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "replay: %s not found\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            count += RunFile(argv[i]);
            continue;
        }
        DIR* d = opendir(argv[i]);
        while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
            if (e->d_name[0] != '.') {
                count += RunFile(std::string(argv[i]) + "/" + e->d_name);
            }
        }
        if (d != nullptr) {
            closedir(d);
        }
    }
    printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
