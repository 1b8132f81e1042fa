// Runs saved inputs through a fuzz target's entry function once each, so that the ordinary
// build keeps every corpus file and every input that once found a fault as a regression test.
// Arguments are files or folders; a folder's files are run in name order, hidden files and
// subfolders left out, and a missing folder simply holds nothing.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
#include <algorithm>

#include <dirent.h>
#include <sys/stat.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> inputsIn(const std::string& path)
{
    std::vector<std::string> files;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return files;
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return files;
    }
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string file = path + "/" + entry->d_name;
            if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                files.push_back(file);
        }
        ::closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string& file : inputsIn(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", file.c_str());
                return 2;
            }
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            // Printed first, so that a crash shows which input caused it.
            std::printf("%s\n", file.c_str());
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++count;
        }
    }
    std::printf("%zu inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}
