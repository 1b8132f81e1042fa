// The repository's record of what it holds: reading and writing server.ini.

#include "repository.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "entity_identity.h"
#include "file_paths.h"
#include "folder_files.h"
#include "regular_file.h"
#include "relay_log.h"
#include "relay_contract.h"
#include "sha256_stream.h"

namespace kvtrelay {

using namespace contract;

namespace {

// "<id>=<file>,<size>,<sha256>"
bool parseEntry(const std::string& line, RepositoryEntry& e)
{
    size_t eq = line.find('=');
    if (eq == std::string::npos || !ParseEntityId(line.substr(0, eq), e.entity))
        return false;
    std::string value = line.substr(eq + 1);
    size_t c1 = value.find(',');
    size_t c2 = c1 == std::string::npos ? c1 : value.find(',', c1 + 1);
    if (c2 == std::string::npos)
        return false;
    e.file = value.substr(0, c1);
    std::string size = value.substr(c1 + 1, c2 - c1 - 1);
    e.sha256 = value.substr(c2 + 1);
    if (e.file.empty() || e.file.find('/') != std::string::npos || e.file[0] == '.' || size.empty() ||
        size.find_first_not_of("0123456789") != std::string::npos || !IsHexDigest(e.sha256))
        return false;
    e.size = strtoull(size.c_str(), nullptr, 10);
    return true;
}

bool parseProduct(const std::string& line, RepositoryProduct& p)
{
    size_t eq = line.find('=');
    KVTRELAY_EntityItem entity;
    if (eq == std::string::npos || !ParseEntityId(line.substr(0, eq), entity))
        return false;
    p.id = line.substr(0, eq);
    p.components.clear();
    std::string list = line.substr(eq + 1);
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            p.components.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

}  // namespace

namespace {

// Appends what fd holds from its offset to its end to text.
bool readAll(int fd, std::string& text)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        text.append(buffer, static_cast<size_t>(n));
    }
}

}  // namespace

bool ReadRepositoryFile(const std::string& root, const std::string& path, std::string& text)
{
    int fd = -1;
    struct stat st;
    const fdio::OpenResult opened = fdio::OpenRegularFile(path, fd, st, O_NOFOLLOW);
    if (opened == fdio::OpenResult::Failed)
        return errno == ENOENT;
    if (opened == fdio::OpenResult::NotRegular) {
        AppendRelayLog(root, path + " is " + fdio::KindOf(st.st_mode) + ", not a regular file: refused");
        return false;
    }
    fdio::CFd file(fd);
    return readAll(file.Get(), text);
}

int WriteRepositoryFile(const std::string& path, const std::string& text)
{
    int fd = -1;
    struct stat st;
    if (fdio::OpenRegularFile(path, fd, st, O_NOFOLLOW) == fdio::OpenResult::Opened) {
        fdio::CFd file(fd);
        std::string current;
        // The size first: a changed file is mostly told apart without reading it.
        if (static_cast<uint64_t>(st.st_size) == text.size() && readAll(file.Get(), current) && current == text)
            return 0;
    }
    return fdio::ReplaceFile(path, text, 0644);
}

std::string CRepository::PackagesFolder() const
{
    return JoinPath(m_root, kPackagesFolder);
}
std::string CRepository::ServerFile() const
{
    return JoinPath(m_root, kServerIni);
}
std::string CRepository::PackagePath(const std::string& file) const
{
    return JoinPath(PackagesFolder(), file);
}

std::string CRepository::PackageName(const KVTRELAY_EntityItem& entity)
{
    return EntityId(entity) + kPackageSuffix;
}

bool CRepository::Load()
{
    m_entries.clear();
    m_products.clear();
    m_preamble.clear();
    m_foreignPattern.clear();
    m_foreignEngine.clear();
    m_foreignProduct.clear();
    m_foreignSections.clear();
    // packages/ planted as a link would have packages written, and old ones deleted, wherever
    // it points.
    struct stat st;
    if (lstat(PackagesFolder().c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        AppendRelayLog(m_root, PackagesFolder() + " is " + fdio::KindOf(st.st_mode) + ", not a folder: refused");
        return false;
    }
    std::string text;
    if (!ReadRepositoryFile(m_root, ServerFile(), text))
        return false;
    std::istringstream in(text);
    std::string line;
    std::vector<std::string>* foreign = &m_preamble;
    enum { kNone, kPattern, kEngine, kProduct, kOther } section = kNone;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        if (line[0] == '[') {
            if (line == kPatternSection) {
                section = kPattern;
                foreign = &m_foreignPattern;
            } else if (line == kEngineSection) {
                section = kEngine;
                foreign = &m_foreignEngine;
            } else if (line == kProductSection) {
                section = kProduct;
                foreign = &m_foreignProduct;
            } else {
                section = kOther;
                m_foreignSections.push_back(ForeignSection{line, {}});
                foreign = &m_foreignSections.back().lines;
            }
            continue;
        }
        RepositoryEntry e;
        RepositoryProduct p;
        if ((section == kPattern || section == kEngine) && parseEntry(line, e))
            Put(e);
        else if (section == kProduct && parseProduct(line, p))
            SetProduct(p.id, p.components);
        else
            foreign->push_back(line);
    }
    return !in.bad();
}

int CRepository::Save() const
{
    std::ostringstream out;
    for (const std::string& l : m_preamble)
        out << l << "\n";
    auto writeEntries = [&](bool engines) {
        for (const RepositoryEntry& e : m_entries)
            if ((e.entity.klass == kKlassEngine) == engines)
                out << EntityId(e.entity) << "=" << e.file << "," << e.size << "," << e.sha256 << "\n";
    };
    out << kPatternSection << "\n";
    writeEntries(false);
    for (const std::string& l : m_foreignPattern)
        out << l << "\n";
    out << "\n" << kEngineSection << "\n";
    writeEntries(true);
    for (const std::string& l : m_foreignEngine)
        out << l << "\n";
    out << "\n" << kProductSection << "\n";
    for (const RepositoryProduct& p : m_products) {
        out << p.id << "=";
        for (size_t i = 0; i < p.components.size(); ++i)
            out << (i ? "," : "") << p.components[i];
        out << "\n";
    }
    for (const std::string& l : m_foreignProduct)
        out << l << "\n";
    out << "\n";
    for (const ForeignSection& s : m_foreignSections) {
        out << s.header << "\n";
        for (const std::string& l : s.lines)
            out << l << "\n";
        out << "\n";
    }
    // Made under a new name and renamed into place: a link planted at server.ini or at any
    // temporary name is replaced, never written through.
    const int err = WriteRepositoryFile(ServerFile(), out.str());
    if (err != 0)
        AppendRelayLog(m_root, ServerFile() + " cannot be rewritten: " + strerror(err));
    return err;
}

const RepositoryEntry* CRepository::Find(const KVTRELAY_EntityItem& entity) const
{
    for (const RepositoryEntry& e : m_entries)
        if (SameComponent(e.entity, entity) && CompareVersions(e.entity.version, entity.version) == 0)
            return &e;
    return nullptr;
}

RepositoryEntry* CRepository::Find(const KVTRELAY_EntityItem& entity)
{
    return const_cast<RepositoryEntry*>(static_cast<const CRepository*>(this)->Find(entity));
}

void CRepository::Put(const RepositoryEntry& entry)
{
    if (RepositoryEntry* e = Find(entry.entity))
        *e = entry;
    else
        m_entries.push_back(entry);
}

void CRepository::Remove(const KVTRELAY_EntityItem& entity)
{
    std::string id = EntityId(entity);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                   [&](const RepositoryEntry& e) {
                                       return SameComponent(e.entity, entity) &&
                                              CompareVersions(e.entity.version, entity.version) == 0;
                                   }),
                    m_entries.end());
    for (RepositoryProduct& p : m_products)
        p.components.erase(std::remove(p.components.begin(), p.components.end(), id), p.components.end());
}

void CRepository::SetProduct(const std::string& id, const std::vector<std::string>& components)
{
    for (RepositoryProduct& p : m_products) {
        if (p.id == id) {
            p.components = components;
            return;
        }
    }
    m_products.push_back(RepositoryProduct{id, components});
}

}  // namespace kvtrelay
