#include "repository.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "fd_write.h"

#include "text_conversion.h"
#include "source_index.h"

namespace kvtrelay {

namespace {

const char* const kServerFile = "server.ini";
const char* const kPackagesFolder = "packages";
const char* const kPatternSection = "[PATTERN]";
const char* const kEngineSection = "[ENGINE]";
const char* const kProductSection = "[All_Product]";
const int kDefaultLockTimeout = 60;
// How often a lock held by another process is tried again.
const auto kLockRetry = std::chrono::milliseconds(20);

// The repositories locked by this process, by device and inode of their folder.
std::mutex g_heldMutex;
std::condition_variable g_heldChanged;
std::set<std::string> g_held;

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

// Sets a record lock on the whole file without waiting: 0, or the error number (EAGAIN or
// EACCES while another process holds it).
int lockRecord(int fd, bool writer)
{
    struct flock lock = {};
    lock.l_type = writer ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    return fcntl(fd, F_SETLK, &lock) == 0 ? 0 : errno;
}

std::string utcStamp()
{
    time_t now = time(nullptr);
    struct tm tm;
    char text[32];
    if (!gmtime_r(&now, &tm) || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
        return "-";
    return text;
}

bool pidAlive(long pid)
{
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

const char* const kLockFile = "relay.lock";
const char* const kRelayLog = "relay.log";
const char* const kRelayLogOld = "relay.log.1";

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
    return file + ".part";
}

void AppendRelayLog(const std::string& repository, const std::string& line)
{
    if (!IsFolder(repository))
        return;
    std::string text = utcStamp() + " " + line + "\n";
    for (size_t i = 0; i + 1 < text.size(); ++i)
        if (static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7f)
            text[i] = ' ';
    std::string path = JoinPath(repository, kRelayLog);
    int saved = errno;
    struct stat st;
    // Rotating keeps the file below its limit and the previous lines one file further.
    if (stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) + text.size() >= kRelayLogLimit)
        rename(path.c_str(), JoinPath(repository, kRelayLogOld).c_str());
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteAll(fd, text.data(), text.size());  // one write: lines of two processes do not mix
        close(fd);
    }
    errno = saved;
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

int32_t CRepositoryLock::Acquire(const std::string& repository, int timeoutSeconds, bool writer)
{
    Release();
    struct stat folder;
    if (stat(repository.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))
        return KVTRELAY_E_REPOSITORY;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    std::string key = std::to_string(folder.st_dev) + ":" + std::to_string(folder.st_ino);
    {
        // Another thread of this process first: closing any descriptor of the lock file would
        // drop this process's record lock, so only the holder of the folder opens it.
        std::unique_lock<std::mutex> held(g_heldMutex);
        if (!g_heldChanged.wait_until(held, deadline, [&] { return g_held.count(key) == 0; }))
            return KVTRELAY_E_BUSY;
        g_held.insert(key);
    }
    m_key = key;

    std::string path = JoinPath(repository, kLockFile);
    for (;;) {
        if (m_fd < 0) {
            m_fd = writer ? open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)
                          : open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (m_fd < 0) {
                if (!writer)
                    return KVTRELAY_S_OK;  // nothing has ever been mirrored here to keep apart from
                Release();
                return KVTRELAY_E_WRITE;
            }
        }
        int err = lockRecord(m_fd, writer);
        if (err == 0) {
            // A lock file removed or replaced while its holder waited is no lock at all: the
            // next process would make a new one. Go on only with the file at its name.
            struct stat locked, named;
            if (fstat(m_fd, &locked) == 0 && stat(path.c_str(), &named) == 0 && locked.st_dev == named.st_dev &&
                locked.st_ino == named.st_ino)
                return KVTRELAY_S_OK;
            close(m_fd);
            m_fd = -1;
            continue;
        }
        if (err != EAGAIN && err != EACCES && err != EINTR) {
            // No record locks on this file system: the table above keeps this process's
            // threads apart, and other processes are not kept out.
            close(m_fd);
            m_fd = -1;
            return KVTRELAY_S_OK;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(kLockRetry);
    }
    Release();
    return KVTRELAY_E_BUSY;
}

void CRepositoryLock::Release()
{
    if (m_fd >= 0) {
        close(m_fd);  // drops the record lock
        m_fd = -1;
    }
    if (m_key.empty())
        return;
    {
        std::lock_guard<std::mutex> held(g_heldMutex);
        g_held.erase(m_key);
    }
    g_heldChanged.notify_all();
    m_key.clear();
}

}  // namespace kvtrelay
