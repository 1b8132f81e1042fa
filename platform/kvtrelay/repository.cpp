#include "repository.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <semaphore.h>
#include <signal.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "relay_text.h"
#include "source_index.h"

namespace kvtrelay {

namespace {

const char* const kServerFile = "server.ini";
const char* const kPackagesFolder = "packages";
const char* const kPatternSection = "[PATTERN]";
const char* const kEngineSection = "[ENGINE]";
const char* const kProductSection = "[All_Product]";
const char* const kSemaphoreName = "/kvtrelay";
const int kDefaultLockTimeout = 60;

bool isDigest(const std::string& s)
{
    return s.size() == 64 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

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
        size.find_first_not_of("0123456789") != std::string::npos || !isDigest(e.sha256))
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

// Takes an exclusive lock on an open folder without waiting: 0, or the error number
// (EWOULDBLOCK while another process holds it).
int lockFolder(int fd)
{
#ifdef LOCK_EX
    return flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
#else
    (void)fd;
    return ENOTSUP;
#endif
}

bool pidAlive(long pid)
{
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

std::string CRepository::PackagesFolder() const { return JoinPath(m_root, kPackagesFolder); }
std::string CRepository::ServerFile() const { return JoinPath(m_root, kServerFile); }
std::string CRepository::PackagePath(const std::string& file) const { return JoinPath(PackagesFolder(), file); }

std::string CRepository::PackageName(const KVTRELAY_EntityItem& entity)
{
    return EntityId(entity) + ".zip";
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
    std::ifstream in(ServerFile());
    if (!in) {
        struct stat st;
        return stat(ServerFile().c_str(), &st) != 0 && errno == ENOENT;
    }
    std::string line;
    std::vector<std::string>* foreign = &m_preamble;
    enum { kNone, kPattern, kEngine, kProduct, kOther } section = kNone;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        if (line[0] == '[') {
            if (line == kPatternSection) { section = kPattern; foreign = &m_foreignPattern; }
            else if (line == kEngineSection) { section = kEngine; foreign = &m_foreignEngine; }
            else if (line == kProductSection) { section = kProduct; foreign = &m_foreignProduct; }
            else {
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
            if ((e.entity.klass == 2) == engines)
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
    std::string text = out.str();
    std::string tmp = ServerFile() + "." + std::to_string(getpid()) + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return errno;
    size_t done = 0;
    int err = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 && !err)
        err = errno;
    if (!err && rename(tmp.c_str(), ServerFile().c_str()) != 0)
        err = errno;
    if (err)
        unlink(tmp.c_str());
    return err;
}

RepositoryEntry* CRepository::Find(const KVTRELAY_EntityItem& entity)
{
    for (RepositoryEntry& e : m_entries)
        if (SameComponent(e.entity, entity) && CompareVersions(e.entity.version, entity.version) == 0)
            return &e;
    return nullptr;
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

std::string PartName(const std::string& file)
{
    return file + "." + std::to_string(getpid()) + ".part";
}

void RemoveStaleParts(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    while (struct dirent* d = readdir(dir)) {
        std::string name = d->d_name;
        const std::string suffix = ".part";
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        std::string stem = name.substr(0, name.size() - suffix.size());
        size_t dot = stem.rfind('.');
        if (dot == std::string::npos)
            continue;
        std::string pid = stem.substr(dot + 1);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        long value = strtol(pid.c_str(), nullptr, 10);
        if (value == static_cast<long>(getpid()) || !pidAlive(value))
            unlink(JoinPath(folder, name).c_str());
    }
    closedir(dir);
}

CRepositoryLock::~CRepositoryLock()
{
    Release();
}

int CRepositoryLock::DefaultTimeout()
{
    const char* env = getenv("KVTRELAY_LOCK_TIMEOUT");
    if (env && *env) {
        char* end = nullptr;
        long v = strtol(env, &end, 10);
        if (!*end && v >= 0 && v < 86400)
            return static_cast<int>(v);
    }
    return kDefaultLockTimeout;
}

int32_t CRepositoryLock::Acquire(const std::string& repository, int timeoutSeconds)
{
    Release();
    sem_t* sem = sem_open(kSemaphoreName, O_CREAT, 0666, 1);
    if (sem == SEM_FAILED)
        return KVTRELAY_E_BUSY;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutSeconds;
    int rc;
    do {
        rc = sem_timedwait(sem, &deadline);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        sem_close(sem);
        return KVTRELAY_E_BUSY;
    }
    m_sem = sem;
    m_held = true;

    // The folder itself is locked, so the lock leaves no file in the repository.
    m_fd = open(repository.c_str(), O_RDONLY | O_DIRECTORY);
    if (m_fd < 0)
        return KVTRELAY_S_OK;  // the operation reports the folder's trouble itself
    // Folder locks have no timed wait: poll until the deadline.
    for (;;) {
        int err = lockFolder(m_fd);
        if (err == 0)
            return KVTRELAY_S_OK;
        if (err != EWOULDBLOCK && err != EINTR) {
            // No folder locks here (file system or platform): the semaphore alone must do.
            close(m_fd);
            m_fd = -1;
            return KVTRELAY_S_OK;
        }
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
            break;
        usleep(20000);
    }
    Release();
    return KVTRELAY_E_BUSY;
}

void CRepositoryLock::Release()
{
    if (m_fd >= 0) {
        close(m_fd);  // drops the folder lock
        m_fd = -1;
    }
    if (!m_sem)
        return;
    sem_t* sem = static_cast<sem_t*>(m_sem);
    if (m_held)
        sem_post(sem);
    sem_close(sem);
    m_sem = nullptr;
    m_held = false;
}

}  // namespace kvtrelay
