#pragma once
// What the unit test programs share: the names in a folder, for comparing what an operation
// left on disk.

#include <algorithm>
#include <string>
#include <vector>

#include <dirent.h>

namespace VkaTest {

/// The names in folder, "." and ".." left out, in ascending order; empty when it cannot be read.
inline std::vector<std::string> ListFolder(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(folder.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace VkaTest
