// The relay's own record of its package files: verified stamps and files pruned but kept.

#include "relay_state.h"

#include <sstream>

#include "file_paths.h"
#include "relay_contract.h"
#include "repository.h"
#include "sha256_stream.h"

namespace kvtrelay {

namespace {

const char* const kHeader = "kvtrelay-state 1";

// Package file names are one path part with no blanks; anything else is not ours.
bool plainName(const std::string& file)
{
    return !file.empty() && file[0] != '.' && file.find_first_of("/ \t") == std::string::npos;
}

VerifiedStamp stampOf(const struct stat& st, const std::string& sha256)
{
    VerifiedStamp s;
    s.size = static_cast<uint64_t>(st.st_size);
    s.device = static_cast<uint64_t>(st.st_dev);
    s.inode = static_cast<uint64_t>(st.st_ino);
    s.mtimeSec = st.st_mtim.tv_sec;
    s.mtimeNsec = st.st_mtim.tv_nsec;
    s.ctimeSec = st.st_ctim.tv_sec;
    s.ctimeNsec = st.st_ctim.tv_nsec;
    s.sha256 = sha256;
    return s;
}

bool sameStamp(const VerifiedStamp& a, const VerifiedStamp& b)
{
    return a.size == b.size && a.device == b.device && a.inode == b.inode && a.mtimeSec == b.mtimeSec &&
           a.mtimeNsec == b.mtimeNsec && a.ctimeSec == b.ctimeSec && a.ctimeNsec == b.ctimeNsec && a.sha256 == b.sha256;
}

}  // namespace

void CRelayState::Load()
{
    m_verified.clear();
    m_pruned.clear();
    std::string whole;
    if (!ReadRepositoryFile(m_root, JoinPath(m_root, contract::kStateFile), whole))
        return;
    std::istringstream in(whole);
    std::string line;
    if (!std::getline(in, line) || line != kHeader)
        return;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind, file;
        fields >> kind >> file;
        if (!plainName(file))
            continue;
        uint64_t size = 0;
        if (kind == "pruned") {
            if (fields >> size)
                m_pruned[file] = size;
            continue;
        }
        VerifiedStamp s;
        if (kind == "verified" &&
            fields >> s.size >> s.device >> s.inode >> s.mtimeSec >> s.mtimeNsec >> s.ctimeSec >> s.ctimeNsec >>
                s.sha256 &&
            IsHexDigest(s.sha256))
            m_verified[file] = s;
    }
}

int CRelayState::Save() const
{
    std::ostringstream out;
    out << kHeader << "\n";
    for (const auto& v : m_verified) {
        const VerifiedStamp& s = v.second;
        out << "verified " << v.first << " " << s.size << " " << s.device << " " << s.inode << " " << s.mtimeSec << " "
            << s.mtimeNsec << " " << s.ctimeSec << " " << s.ctimeNsec << " " << s.sha256 << "\n";
    }
    for (const auto& p : m_pruned)
        out << "pruned " << p.first << " " << p.second << "\n";
    return WriteRepositoryFile(JoinPath(m_root, contract::kStateFile), out.str());
}

bool CRelayState::Trusted(const std::string& file, const std::string& sha256, const struct stat& st) const
{
    auto found = m_verified.find(file);
    return found != m_verified.end() && sameStamp(found->second, stampOf(st, sha256));
}

void CRelayState::Verified(const std::string& file, const std::string& sha256, const struct stat& st)
{
    m_verified[file] = stampOf(st, sha256);
}

}  // namespace kvtrelay
