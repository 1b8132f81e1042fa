// Replacing a small file of the repository whole: a temporary under an unpredictable name,
// created exclusively and never through a link, then renamed into place.

#include "file_replacement.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <unistd.h>

#include "fd_write.h"
#include "file_paths.h"
#include "relay_contract.h"

namespace kvtrelay {

namespace {

// Tries this many names before giving up: each clash means a file already took the name.
const int kNameAttempts = 16;

// "<name>.<16 hex digits>.tmp": a name another user of the folder cannot guess in advance,
// so a link planted there cannot redirect the write.
std::string temporaryName(const std::string& name)
{
    std::random_device random;
    char digits[17];
    snprintf(digits, sizeof digits, "%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()));
    return name + "." + digits + contract::kTempSuffix;
}

}  // namespace

int ReplaceFile(const std::string& folder, const std::string& name, const std::string& text)
{
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
        temporary = JoinPath(folder, temporaryName(name));
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST)
            return errno;
    }
    if (fd < 0)
        return EEXIST;
    int err = fdio::WriteAll(fd, text.data(), text.size()) ? 0 : errno;
    if (close(fd) != 0 && !err)
        err = errno;
    if (!err && rename(temporary.c_str(), JoinPath(folder, name).c_str()) != 0)
        err = errno;
    if (err)
        unlink(temporary.c_str());
    return err;
}

}  // namespace kvtrelay
