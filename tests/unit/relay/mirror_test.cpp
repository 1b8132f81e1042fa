// Mirroring from a directory source into a repository, and what the repository then holds.

#include "relay_fixture.h"

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "repository.h"

using namespace relaytest;

namespace {

const char* const kProduct = "c3t4v1.0.0l1p-1r-1o-1";
const char* const kPatternA = "c3t4v1.5000.0l1p-1r-1o-1";
const char* const kPatternB = "c3t4v1.6000.0l1p-1r-1o-1";
const char* const kEngineProduct = "c2t1207960066v9.0.0l-1p-1r-1o-1";
const char* const kEngine = "c2t1207960066v9.5000.1007l-1p-1r-1o-1";

class MirrorTest : public RelayTest {
protected:
    void SetUp() override
    {
        RelayTest::SetUp();
        m_source.reset(new CSampleSource(Tmp("source")));
        m_source->AddComponent(kProduct, kPatternA, {{"a.txt", "pattern a"}});
        m_source->AddComponent(kProduct, kPatternB, {{"b.txt", "pattern b"}, {"sub/c.txt", "nested"}});
        m_source->AddComponent(kEngineProduct, kEngine, {{"engine.bin", Noise(2500000)}});
        m_source->WriteIndex();
        m_repo = Tmp("repo");
    }

    std::vector<KVTRELAY_Product> All() const { return {Request(3, 4), Request(2, 1207960066)}; }
    std::string Package(const char* id) const { return m_repo + "/packages/" + id + ".zip"; }

    std::unique_ptr<CSampleSource> m_source;
    std::string m_repo;
};

std::string eventLine(const RelayTest::Event& e)
{
    static const char* names[] = {"download",     "progress",      "removebegin",
                                  "removefailed", "downloadbegin", "downloadend"};
    return std::string(names[e.type]) + " " + e.information + " " + std::to_string(e.finished) + "/" +
           std::to_string(e.total);
}

}  // namespace

TEST_F(MirrorTest, MirrorsIntoAnEmptyRepository)
{
    KVTRELAY_Context* c = Open(m_repo);  // a missing folder is created
    Record(c);
    KVTRELAY_Information* info = nullptr;
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder(), &info));
    ASSERT_NE(nullptr, info);
    ASSERT_EQ(2u, info->count);
    EXPECT_EQ(2u, info->products[0].itemCount);
    EXPECT_EQ(1u, info->products[1].itemCount);
    KVTRELAY_DestroyData(info);

    std::vector<std::string> expectedFiles = {std::string(kEngine) + ".zip", std::string(kPatternA) + ".zip",
                                              std::string(kPatternB) + ".zip"};
    EXPECT_EQ(expectedFiles, ListFolder(m_repo + "/packages"));
    for (const char* id : {kPatternA, kPatternB, kEngine})
        EXPECT_EQ(ReadText(m_source->PackagePath(id)), ReadText(Package(id))) << id;

    std::string ini = ReadText(m_repo + "/server.ini");
    size_t pattern = ini.find("[PATTERN]\n"), engine = ini.find("[ENGINE]\n"), product = ini.find("[All_Product]\n");
    ASSERT_TRUE(pattern < engine && engine < product) << ini;
    size_t a = ini.find(std::string(kPatternA) + "=" + kPatternA + ".zip,");
    size_t e = ini.find(std::string(kEngine) + "=" + kEngine + ".zip,");
    EXPECT_TRUE(pattern < a && a < engine) << ini;
    EXPECT_TRUE(engine < e && e < product) << ini;
    EXPECT_NE(std::string::npos, ini.find(std::string(kProduct) + "=" + kPatternA + "," + kPatternB + "\n")) << ini;

    // Per file: begin, progress, end; then the component's download event.
    uint64_t sizeA = ReadText(Package(kPatternA)).size();
    std::vector<std::string> first;
    for (size_t i = 0; i < 4 && i < m_events.size(); ++i)
        first.push_back(eventLine(m_events[i]));
    std::string fileA = std::string(kPatternA) + ".zip";
    std::string sa = std::to_string(sizeA);
    EXPECT_EQ(
        (std::vector<std::string>{"downloadbegin " + fileA + " 0/" + sa, "progress " + fileA + " " + sa + "/" + sa,
                                  "downloadend " + fileA + " " + sa + "/" + sa,
                                  "download " + std::string(kPatternA) + " " + sa + "/" + sa}),
        first);
    // Progress never goes back and ends at the full size.
    uint64_t last = 0;
    for (const Event& ev : m_events) {
        if (ev.type == KVTRELAY_EVENT_PROGRESS && ev.information == std::string(kEngine) + ".zip") {
            EXPECT_GT(ev.finished, last);
            last = ev.finished;
        }
    }
    EXPECT_EQ(ReadText(Package(kEngine)).size(), last);

    // A second run finds everything in place, transfers nothing and rewrites none of the
    // repository's own files (a replaced file would have a new inode).
    const char* const own[] = {"/server.ini", "/index.txt", "/relay.state"};
    std::vector<ino_t> inodes;
    struct stat st;
    for (const char* name : own)
        inodes.push_back(stat((m_repo + name).c_str(), &st) == 0 ? st.st_ino : 0);
    m_events.clear();
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder()));
    for (const Event& ev : m_events)
        EXPECT_EQ(KVTRELAY_EVENT_DOWNLOAD, ev.type) << eventLine(ev);
    EXPECT_EQ(3u, m_events.size());
    for (size_t i = 0; i < inodes.size(); ++i)
        EXPECT_TRUE(stat((m_repo + own[i]).c_str(), &st) == 0 && st.st_ino == inodes[i]) << own[i];
    KVTRELAY_DestroyContext(c);
}

TEST_F(MirrorTest, CorruptedPackageLeavesNoFileUnderItsName)
{
    // Same size, one byte changed: only the digest tells.
    std::string data = ReadText(m_source->PackagePath(kPatternB));
    data[data.size() / 2] ^= 1;
    WriteText(m_source->PackagePath(kPatternB), data);
    KVTRELAY_Context* c = Open(m_repo);
    Record(c);
    KVTRELAY_Information* info = reinterpret_cast<KVTRELAY_Information*>(1);
    EXPECT_EQ(KVTRELAY_E_DIGEST, Duplicate(c, All(), m_source->Folder(), &info));
    EXPECT_EQ(nullptr, info);
    // The others arrived intact and are recorded; the broken one left nothing behind.
    std::vector<std::string> held = {std::string(kEngine) + ".zip", std::string(kPatternA) + ".zip"};
    EXPECT_EQ(held, ListFolder(m_repo + "/packages"));
    std::string ini = ReadText(m_repo + "/server.ini");
    EXPECT_NE(std::string::npos, ini.find(kPatternA));
    EXPECT_EQ(std::string::npos, ini.find(kPatternB));
    // The failure names the file, the source and both digests, in the event and the log.
    std::string failure = m_events[5].information;  // begin, progress, end, download of A; begin of B
    EXPECT_EQ(0u,
              failure.find(std::string(kPatternB) + ".zip from " + m_source->PackagePath(kPatternB) + ": SHA-256 "));
    EXPECT_NE(std::string::npos, failure.find("..., expected ")) << failure;
    EXPECT_NE(std::string::npos, ReadText(m_repo + "/relay.log").find("Z " + failure + "\n"));

    // A package longer than the index says is stopped as soon as it overflows.
    WriteText(m_source->PackagePath(kPatternB), ReadText(m_source->PackagePath(kEngine)));
    EXPECT_EQ(KVTRELAY_E_DIGEST, Duplicate(c, All(), m_source->Folder()));
    EXPECT_EQ(held, ListFolder(m_repo + "/packages"));
    KVTRELAY_DestroyContext(c);
}

TEST_F(MirrorTest, CallbackReturningZeroCancelsCleanly)
{
    struct Case {
        KVTRELAY_EventType on;
        int after;
        std::vector<std::string> files;  // what packages/ holds afterwards
    } cases[] = {
        {KVTRELAY_EVENT_DOWNLOADBEGIN, 0, {}},
        {KVTRELAY_EVENT_PROGRESS, 0, {}},
        // The package was complete when the handler said stop: it stays, recorded.
        {KVTRELAY_EVENT_DOWNLOADEND, 0, {std::string(kPatternA) + ".zip"}},
        {KVTRELAY_EVENT_DOWNLOAD, 1, {std::string(kPatternA) + ".zip", std::string(kPatternB) + ".zip"}},
    };
    int n = 0;
    for (const Case& k : cases) {
        std::string repo = Tmp("cancel" + std::to_string(n++));
        KVTRELAY_Context* c = Open(repo);
        Record(c);
        m_cancelOn = k.on;
        m_cancelAfter = k.after;
        EXPECT_EQ(KVTRELAY_E_CANCELLED, Duplicate(c, All(), m_source->Folder())) << repo;
        EXPECT_EQ(k.files, ListFolder(repo + "/packages")) << repo;
        std::string ini = ReadText(repo + "/server.ini");
        for (const std::string& f : k.files)
            EXPECT_NE(std::string::npos, ini.find("=" + f + ",")) << ini;
        EXPECT_EQ(std::string::npos, ini.find(kEngine)) << ini;
        KVTRELAY_DestroyContext(c);
    }
}

TEST_F(MirrorTest, KeepCountRemovesOlderVersions)
{
    // Versions 1.5, 1.6 and 1.7 of one component arrive one run after another.
    const char* versions[] = {"c3t4v1.5000.0l1p-1r-1o-1", "c3t4v1.6000.0l1p-1r-1o-1", "c3t4v1.7000.0l1p-1r-1o-1"};
    KVTRELAY_Context* c = Open(m_repo);
    Record(c);
    KVTRELAY_SetOption(c, KVTRELAY_OPTION_KEEPCOUNT, 1);
    for (int i = 0; i < 3; ++i) {
        CSampleSource source(Tmp("src" + std::to_string(i)));
        source.AddComponent(kProduct, versions[i], {{"v.txt", versions[i]}});
        source.WriteIndex();
        m_events.clear();
        ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, {Request(3, 4)}, source.Folder()));
    }
    // The oldest is off the record at once; its file stays a run for readers of the last index.
    std::vector<std::string> files;
    for (const char* v : versions)
        files.push_back(std::string(v) + ".zip");
    EXPECT_EQ(files, ListFolder(m_repo + "/packages"));
    ASSERT_FALSE(m_events.empty());
    EXPECT_EQ("removebegin " + files[0], eventLine(m_events.back()).substr(0, 12 + files[0].size()));
    std::string ini = ReadText(m_repo + "/server.ini");
    EXPECT_EQ(std::string::npos, ini.find(std::string(versions[0]) + "=")) << ini;
    EXPECT_NE(std::string::npos, ini.find(std::string(versions[1]) + "=")) << ini;
    EXPECT_EQ(std::string::npos, ReadText(m_repo + "/index.txt").find(versions[0]));

    // The next run deletes it; a file that cannot be deleted is reported by each later run.
    KVTRELAY_SetOption(c, KVTRELAY_OPTION_KEEPCOUNT, 0);
    std::string stuck = Package(versions[1]);
    ASSERT_EQ(0, unlink(stuck.c_str()));
    ASSERT_EQ(0, mkdir(stuck.c_str(), 0755));
    WriteText(stuck + "/x", "x");  // a non-empty folder in its place resists unlink
    CSampleSource again(Tmp("src2"));
    std::vector<std::string> removal;
    for (int run = 0; run < 2; ++run) {
        m_events.clear();
        ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, {Request(3, 4)}, again.Folder()));
        for (const Event& ev : m_events)
            if (ev.type == KVTRELAY_EVENT_REMOVEBEGIN || ev.type == KVTRELAY_EVENT_REMOVEFAILED)
                removal.push_back(eventLine(ev).substr(0, eventLine(ev).find(' ', 13)));
    }
    EXPECT_EQ((std::vector<std::string>{"removebegin " + files[1], "removefailed " + files[1]}), removal);
    EXPECT_EQ((std::vector<std::string>{files[1], files[2]}), ListFolder(m_repo + "/packages"));
    KVTRELAY_DestroyContext(c);
}

TEST_F(MirrorTest, SourceAndRepositoryFailures)
{
    KVTRELAY_Context* c = Open(m_repo);
    EXPECT_EQ(KVTRELAY_E_SOURCE, Duplicate(c, All(), Tmp("nowhere")));
    EXPECT_NE(std::string::npos, ReadText(m_repo + "/relay.log").find(Tmp("nowhere/index.txt: open: No such file")));
    // The log is rotated before it reaches 1 MiB.
    WriteText(m_repo + "/relay.log", std::string((1 << 20) - 10, 'x'));
    EXPECT_EQ(KVTRELAY_E_SOURCE, Duplicate(c, All(), Tmp("nowhere")));
    EXPECT_EQ((1u << 20) - 10, ReadText(m_repo + "/relay.log.1").size());
    EXPECT_EQ(KVTRELAY_E_SOURCE, Duplicate(c, All(), "file://" + Tmp("nowhere")));
    EXPECT_EQ(KVTRELAY_E_SCHEME, Duplicate(c, All(), "ftp://example.invalid/x"));
    EXPECT_EQ(KVTRELAY_E_SCHEME, Duplicate(c, All(), "relative/path"));
    WriteText(m_source->Folder() + "/index.txt", "kvtrelay-index 1\nproduct nonsense\n");
    EXPECT_EQ(KVTRELAY_E_INDEX, Duplicate(c, All(), m_source->Folder()));
    // A package named in the index but missing from the source.
    m_source->WriteIndex();
    unlink(m_source->PackagePath(kEngine).c_str());
    EXPECT_EQ(KVTRELAY_E_DOWNLOAD, Duplicate(c, All(), m_source->Folder()));
    EXPECT_EQ(2u, ListFolder(m_repo + "/packages").size());
    // With two sources the first readable one serves.
    m_source->AddComponent(kEngineProduct, kEngine, {{"engine.bin", "e"}});
    m_source->WriteIndex();
    std::wstring bad = kvtrelay::Utf8ToWide(Tmp("nowhere")), good = kvtrelay::Utf8ToWide(m_source->Folder());
    KVTRELAY_Source sources[2] = {};
    sources[0].url = &bad[0];
    sources[1].url = &good[0];
    KVTRELAY_Information* info = nullptr;
    std::vector<KVTRELAY_Product> all = All();
    EXPECT_EQ(KVTRELAY_S_OK, KVTRELAY_GetInformation(c, all.data(), all.size(), sources, 2, &info));
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(2u, info->count);
    KVTRELAY_DestroyData(info);
    // No products asked for: an empty answer without reading any source.
    EXPECT_EQ(KVTRELAY_S_OK, KVTRELAY_Duplicate(c, nullptr, 0, nullptr, 0, &info));
    ASSERT_NE(nullptr, info);
    EXPECT_EQ(0u, info->count);
    KVTRELAY_DestroyData(info);
    EXPECT_EQ(KVTRELAY_E_SOURCE, KVTRELAY_Duplicate(c, all.data(), all.size(), nullptr, 0, &info));
    KVTRELAY_DestroyContext(c);

    // A repository path that is a file, or lies below one.
    WriteText(Tmp("file"), "x");
    for (const std::string& path : {Tmp("file"), Tmp("file/below")}) {
        KVTRELAY_Context* bad = reinterpret_cast<KVTRELAY_Context*>(1);
        std::wstring wide = kvtrelay::Utf8ToWide(path);
        EXPECT_EQ(KVTRELAY_E_REPOSITORY, KVTRELAY_CreateContext(&bad, wide.c_str())) << path;
        EXPECT_EQ(nullptr, bad);
    }
    // Exporting creates nothing; a mirror creates the missing parents.
    c = Open(Tmp("deep/er/repo"));
    EXPECT_EQ(KVTRELAY_E_REPOSITORY, KVTRELAY_ExportComponent(c, L"/nonexistent", Entity(kPatternA)));
    EXPECT_FALSE(Exists(Tmp("deep")));
    EXPECT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder()));
    EXPECT_TRUE(fdio::IsFolder(Tmp("deep/er/repo/packages")));
    KVTRELAY_DestroyContext(c);
}

TEST_F(MirrorTest, HostileFolderSourcesFailAtOnce)
{
    KVTRELAY_Context* c = Open(m_repo);
    // A FIFO as a package and as the index: refused without waiting for a writer.
    std::string engine = m_source->PackagePath(kEngine), index = m_source->Folder() + "/index.txt";
    ASSERT_EQ(0, unlink(engine.c_str()) + mkfifo(engine.c_str(), 0644));
    EXPECT_EQ(KVTRELAY_E_DOWNLOAD, Duplicate(c, All(), m_source->Folder()));
    EXPECT_EQ(2u, ListFolder(m_repo + "/packages").size());
    EXPECT_NE(std::string::npos,
              ReadText(m_repo + "/relay.log").find(std::string(kEngine) + ".zip: not a regular file"));
    // A declared size beyond any file system's free space: refused before a byte moves.
    std::string text = ReadText(index);
    size_t at = text.find(".zip ", text.find(std::string("component ") + kEngine)) + 5;
    WriteText(index, text.substr(0, at) + "1125899906842624" + text.substr(text.find(' ', at)));
    EXPECT_EQ(KVTRELAY_E_WRITE, Duplicate(c, All(), m_source->Folder()));
    EXPECT_NE(std::string::npos,
              ReadText(m_repo + "/relay.log").find("needs 1125899906842624 bytes, the repository's"));
    ASSERT_EQ(0, unlink(index.c_str()) + mkfifo(index.c_str(), 0644));
    EXPECT_EQ(KVTRELAY_E_SOURCE, Duplicate(c, All(), m_source->Folder()));
    KVTRELAY_DestroyContext(c);
}

TEST_F(MirrorTest, LinksAndFifosPlantedInTheRepositoryAreNeverFollowed)
{
    const std::string part = std::string("packages/") + kPatternA + ".zip.part";
    const std::string oldTemporary = "server.ini." + std::to_string(getpid()) + ".tmp";
    struct Case {
        std::string name;     // planted in the repository
        char kind;            // 'l' a link to the victim file, 'd' to the victim folder, 'x' dangling, 'f' a FIFO
        bool readableSource;  // false: a run that fails, so that relay.log is written
        int32_t status;
        std::string logged;  // in relay.log afterwards
    };
    const std::vector<Case> cases = {
        {"server.ini", 'l', true, KVTRELAY_E_WRITE, "server.ini is a symbolic link, not a regular file: refused"},
        {"server.ini", 'f', true, KVTRELAY_E_WRITE, "server.ini is a FIFO, not a regular file: refused"},
        {"packages", 'd', true, KVTRELAY_E_WRITE, "packages is a symbolic link, not a folder: refused"},
        {part, 'l', true, KVTRELAY_E_WRITE, ".zip.part: a symbolic link, not a regular file: refused"},
        {part, 'f', true, KVTRELAY_E_WRITE, ".zip.part: a FIFO, not a regular file: refused"},
        {"relay.lock", 'x', true, KVTRELAY_E_REPOSITORY, "relay.lock is a symbolic link, not a regular file"},
        {"relay.log", 'l', false, KVTRELAY_E_SOURCE, ""},
        {oldTemporary, 'l', true, KVTRELAY_S_OK, ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& k = cases[i];
        SCOPED_TRACE(k.name + " " + k.kind);
        const std::string repo = Tmp("planted" + std::to_string(i)), victim = Tmp("victim" + std::to_string(i));
        fdio::MakeFolders(repo + "/packages", 0777);
        fdio::MakeFolders(victim + ".d", 0777);
        WriteText(victim, "secret");
        const std::string at = repo + "/" + k.name;
        rmdir(at.c_str());
        if (k.kind == 'f')
            ASSERT_EQ(0, mkfifo(at.c_str(), 0644));
        else
            ASSERT_EQ(0, symlink((victim + (k.kind == 'd' ? ".d" : k.kind == 'x' ? ".new" : "")).c_str(), at.c_str()));
        KVTRELAY_Context* c = Open(repo);
        EXPECT_EQ(k.status, Duplicate(c, All(), k.readableSource ? m_source->Folder() : Tmp("nowhere")));
        KVTRELAY_DestroyContext(c);
        EXPECT_EQ("secret", ReadText(victim));
        EXPECT_TRUE(ListFolder(victim + ".d").empty());
        EXPECT_FALSE(Exists(victim + ".new"));
        if (!k.logged.empty()) {
            EXPECT_NE(std::string::npos, ReadText(repo + "/relay.log").find(k.logged)) << ReadText(repo + "/relay.log");
        }
    }
}

TEST_F(MirrorTest, LeftoversOfKilledRunsGoWithTheNextCompleteRun)
{
    // What killed runs leave: parts and unrecorded packages of versions the source has moved
    // past, and temporaries of writers that are gone; beside them files that are not ours.
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0)
        _exit(0);
    ASSERT_EQ(gone, waitpid(gone, nullptr, 0));
    const std::string old = "c3t4v1.4000.0l1p-1r-1o-1";
    fdio::MakeFolders(m_repo + "/packages", 0777);
    for (const std::string& name : {old + ".zip", old + ".zip.part", std::string(kPatternA) + ".zip.part",
                                    std::string("notes.zip"), std::string("other.zip.part")})
        WriteText(m_repo + "/packages/" + name, "left over");
    WriteText(m_repo + "/server.ini." + std::to_string(gone) + ".0123456789abcdef.tmp", "left over");
    WriteText(m_repo + "/server.ini." + std::to_string(getpid()) + ".0123456789abcdef.tmp", "a running writer's");
    KVTRELAY_Context* c = Open(m_repo);
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder()));
    KVTRELAY_DestroyContext(c);
    EXPECT_EQ((std::vector<std::string>{std::string(kEngine) + ".zip", std::string(kPatternA) + ".zip",
                                        std::string(kPatternB) + ".zip", "notes.zip", "other.zip.part"}),
              ListFolder(m_repo + "/packages"));
    EXPECT_EQ((std::vector<std::string>{"index.txt", "packages", "relay.lock", "relay.state", "server.ini",
                                        "server.ini." + std::to_string(getpid()) + ".0123456789abcdef.tmp"}),
              ListFolder(m_repo));
}

TEST_F(MirrorTest, ForeignFilesAndServerLinesAreKept)
{
    fdio::MakeFolders(m_repo + "/packages", 0777);
    WriteText(m_repo + "/notes.txt", "mine");
    WriteText(m_repo + "/packages/other.zip", "not ours");
    WriteText(m_repo + "/server.ini", "[PATTERN]\nkey=value\n[Custom]\na=b\n");
    KVTRELAY_Context* c = Open(m_repo);
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder()));
    KVTRELAY_DestroyContext(c);
    EXPECT_EQ("mine", ReadText(m_repo + "/notes.txt"));
    EXPECT_EQ("not ours", ReadText(m_repo + "/packages/other.zip"));
    std::string ini = ReadText(m_repo + "/server.ini");
    EXPECT_NE(std::string::npos, ini.find("key=value\n")) << ini;
    EXPECT_NE(std::string::npos, ini.find("[Custom]\na=b\n")) << ini;
    EXPECT_NE(std::string::npos, ini.find(kEngine)) << ini;
}

TEST_F(MirrorTest, NonAsciiPathsWork)
{
    std::string repo = Tmp("d\xC3\xA9p\xC3\xB4t");
    std::string source = Tmp("s\xC3\xB8urce");
    ASSERT_EQ(0, rename(m_source->Folder().c_str(), source.c_str()));
    // The agent's module widens UTF-8 byte by byte with the sign; both forms must reach the same folder.
    std::wstring widened;
    for (char ch : repo)
        widened += static_cast<wchar_t>(static_cast<signed char>(ch));
    KVTRELAY_Context* c = nullptr;
    ASSERT_GT(KVTRELAY_CreateContext(&c, widened.c_str()), 0);
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), source));
    KVTRELAY_DestroyContext(c);
    EXPECT_EQ(3u, ListFolder(repo + "/packages").size());
}

TEST_F(MirrorTest, RepositoryNamedByTheOperatorsOwnLinkIsFollowed)
{
    // /srv/relay -> /data/relay: the link is the operator's, so the run writes through it whole.
    fdio::MakeFolders(m_repo, 0777);
    const std::string named = Tmp("named");
    ASSERT_EQ(0, symlink(m_repo.c_str(), named.c_str()));
    KVTRELAY_Context* c = Open(named);
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder()));
    KVTRELAY_DestroyContext(c);
    EXPECT_EQ(3u, ListFolder(m_repo + "/packages").size());
    EXPECT_NE(std::string::npos, ReadText(m_repo + "/server.ini").find(kEngine));
}

TEST_F(MirrorTest, ExportUnpacksTheChosenVersion)
{
    KVTRELAY_Context* c = Open(m_repo);
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder()));
    struct Case {
        const char* entity;
        int32_t status;
        const char* file;  // a file the export must hold
    } cases[] = {
        {"c3t4v1.5000.0l1p-1r-1o-1", KVTRELAY_S_OK, "a.txt"},
        {"c3t4v0.0.0l-1p-1r-1o-1", KVTRELAY_S_OK, "sub/c.txt"},  // newest of any language
        {"c2t1207960066v9.5000.1007l-1p-1r-1o-1", KVTRELAY_S_OK, "engine.bin"},
        {"c3t4v0.0.0l2p-1r-1o-1", KVTRELAY_E_NOTFOUND, nullptr},
        {"c3t4v1.9000.0l-1p-1r-1o-1", KVTRELAY_E_NOTFOUND, nullptr},
        {"c3t5v0.0.0l-1p-1r-1o-1", KVTRELAY_E_NOTFOUND, nullptr},
    };
    int n = 0;
    for (const Case& k : cases) {
        std::string out = Tmp("out" + std::to_string(n++) + "/x");
        std::wstring wide = kvtrelay::Utf8ToWide(out);
        EXPECT_EQ(k.status, KVTRELAY_ExportComponent(c, wide.c_str(), Entity(k.entity))) << k.entity;
        if (k.file) {
            EXPECT_TRUE(Exists(out + "/" + k.file)) << k.entity;
        }
    }
    EXPECT_EQ("nested", ReadText(Tmp("out1/x/sub/c.txt")));

    // A package damaged on disk is not unpacked.
    std::string package = Package(kPatternA);
    std::string data = ReadText(package);
    data[10] ^= 1;
    WriteText(package, data);
    std::wstring out = kvtrelay::Utf8ToWide(Tmp("damaged"));
    EXPECT_EQ(KVTRELAY_E_DIGEST, KVTRELAY_ExportComponent(c, out.c_str(), Entity(kPatternA)));
    EXPECT_FALSE(Exists(Tmp("damaged/a.txt")));
    KVTRELAY_DestroyContext(c);
}

TEST_F(MirrorTest, ExportRefusesUnsafeEntries)
{
    const char* script = "import sys, zipfile, stat\n"
                         "def make(path, name, link=False):\n"
                         "    z = zipfile.ZipFile(path, 'w')\n"
                         "    z.writestr('fine.txt', 'fine')\n"
                         "    i = zipfile.ZipInfo(name)\n"
                         "    i.create_system = 3\n"
                         "    i.external_attr = ((stat.S_IFLNK | 0o777) if link else (stat.S_IFREG | 0o644)) << 16\n"
                         "    z.writestr(i, '/etc/passwd' if link else 'x')\n"
                         "    z.close()\n"
                         "d = sys.argv[1]\n"
                         "make(d + '/abs.zip', '/abs.txt')\n"
                         "make(d + '/up.zip', 'a/../../up.txt')\n"
                         "make(d + '/link.zip', 'link', True)\n";
    WriteText(Tmp("make.py"), script);
    ASSERT_EQ(0, Shell("python3 " + Tmp("make.py") + " " + m_tmp));
    fdio::MakeFolders(m_repo + "/packages", 0777);
    CSampleSource dummy(Tmp("unused"));
    std::string ini = "[PATTERN]\n";
    const char* names[] = {"abs", "up", "link"};
    for (int i = 0; i < 3; ++i) {
        std::string id = "c3t" + std::to_string(100 + i) + "v1.0.0l-1p-1r-1o-1";
        std::string file = id + ".zip";
        ASSERT_EQ(0, rename(Tmp(std::string(names[i]) + ".zip").c_str(), (m_repo + "/packages/" + file).c_str()));
        std::string hex;
        uint64_t size = 0;
        ASSERT_TRUE(kvtrelay::HashFile(m_repo + "/packages/" + file, hex, size));
        ini += id + "=" + file + "," + std::to_string(size) + "," + hex + "\n";
    }
    WriteText(m_repo + "/server.ini", ini);
    KVTRELAY_Context* c = Open(m_repo);
    for (int i = 0; i < 3; ++i) {
        std::string out = Tmp(std::string("x-") + names[i]);
        std::wstring wide = kvtrelay::Utf8ToWide(out);
        KVTRELAY_EntityItem e = Entity("c3t" + std::to_string(100 + i) + "v0.0.0l-1p-1r-1o-1");
        EXPECT_EQ(KVTRELAY_E_EXPORT, KVTRELAY_ExportComponent(c, wide.c_str(), e)) << names[i];
        EXPECT_FALSE(Exists(out + "/fine.txt")) << names[i];
    }
    EXPECT_FALSE(Exists(Tmp("up.txt")));
    EXPECT_FALSE(Exists("/abs.txt"));
    KVTRELAY_DestroyContext(c);
}

TEST_F(MirrorTest, HeldLockMakesOperationsBusy)
{
    setenv("KVTRELAY_LOCK_TIMEOUT", "1", 1);
    // A semaphore of that name planted by anyone, and taken, delays nothing.
    sem_unlink("/kvtrelay");
    sem_t* sem = sem_open("/kvtrelay", O_CREAT, 0666, 0);
    ASSERT_NE(SEM_FAILED, sem);
    KVTRELAY_Context* c = Open(m_repo);
    EXPECT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder()));
    sem_close(sem);
    sem_unlink("/kvtrelay");

    // Another process holding the repository's lock keeps it busy, but no other repository,
    // and the lock ends when that process is killed.
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open((m_repo + "/relay.lock").c_str(), O_RDWR);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        char ok = (fd >= 0 && fcntl(fd, F_SETLK, &lock) == 0) ? 1 : 0;
        if (write(ready[1], &ok, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(1, read(ready[0], &ok, 1));
    ASSERT_EQ(1, ok);
    EXPECT_EQ(KVTRELAY_E_BUSY, Duplicate(c, All(), m_source->Folder()));
    EXPECT_EQ(KVTRELAY_E_BUSY, KVTRELAY_ExportComponent(c, L"/nonexistent", Entity(kPatternA)));
    KVTRELAY_Context* other = Open(Tmp("other"));
    EXPECT_EQ(KVTRELAY_S_OK, Duplicate(other, All(), m_source->Folder()));
    KVTRELAY_DestroyContext(other);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder()));
    // Beside server.ini, its index and the packages, the repository holds the lock and the
    // relay's state, and no temporary file.
    EXPECT_EQ((std::vector<std::string>{"index.txt", "packages", "relay.lock", "relay.state", "server.ini"}),
              ListFolder(m_repo));
    KVTRELAY_DestroyContext(c);
}

TEST_F(MirrorTest, ExportAnswersAtOnceWhileAThrottledMirrorTransfers)
{
    KVTRELAY_Context* c = Open(m_repo);
    ASSERT_EQ(KVTRELAY_S_OK, Duplicate(c, All(), m_source->Folder()));
    // A newer engine arrives at 1 MiB/s: seconds of transfer, with the run's lock held.
    const std::string newer = "c2t1207960066v9.6000.1007l-1p-1r-1o-1";
    CSampleSource source(Tmp("newer"));
    source.AddComponent(kEngineProduct, newer, {{"engine.bin", Noise(2500000)}});
    source.WriteIndex();
    KVTRELAY_Context* slow = Open(m_repo);
    KVTRELAY_SetOption(slow, KVTRELAY_OPTION_MAXBANDWIDTH, 1 << 20);
    std::thread mirror([&] { EXPECT_EQ(KVTRELAY_S_OK, Duplicate(slow, {Request(2, 1207960066)}, source.Folder())); });
    const std::string part = m_repo + "/packages/" + newer + ".zip.part";
    for (int i = 0; i < 500 && !Exists(part); ++i)
        usleep(10000);
    const auto start = std::chrono::steady_clock::now();
    std::wstring out = kvtrelay::Utf8ToWide(Tmp("out"));
    EXPECT_EQ(KVTRELAY_S_OK, KVTRELAY_ExportComponent(c, out.c_str(), Entity(kPatternA)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(Exists(part));  // the mirror was still transferring
    mirror.join();
    EXPECT_TRUE(Exists(Package(newer.c_str())));
    KVTRELAY_DestroyContext(slow);
    KVTRELAY_DestroyContext(c);
}

TEST(RelayLifecycle, VersionStatusesAndStartup)
{
    KVT_Version v{};
    EXPECT_EQ(KVTRELAY_S_OK, KVTRELAY_GetVersion(&v));
    EXPECT_EQ(1u, v.major);
    KVTRELAY_Context* c = reinterpret_cast<KVTRELAY_Context*>(1);
    EXPECT_EQ(KVTRELAY_E_NOTSTARTED, KVTRELAY_CreateContext(&c, L"/tmp"));
    EXPECT_EQ(nullptr, c);
    ASSERT_EQ(KVTRELAY_S_OK, KVTRELAY_Startup(nullptr));
    ASSERT_EQ(KVTRELAY_S_OK, KVTRELAY_Startup(nullptr));
    EXPECT_EQ(KVTRELAY_S_OK, KVTRELAY_Shutdown());
    // Still started: start-ups are counted.
    ASSERT_GT(KVTRELAY_CreateContext(&c, L"/tmp"), 0);
    EXPECT_EQ(KVTRELAY_S_OK, KVTRELAY_Shutdown());
    KVTRELAY_Information* info = nullptr;
    EXPECT_EQ(KVTRELAY_E_NOTSTARTED, KVTRELAY_Duplicate(c, nullptr, 0, nullptr, 0, &info));
    EXPECT_EQ(KVTRELAY_E_NOTSTARTED, KVTRELAY_ExportComponent(c, L"/tmp/x", KVTRELAY_EntityItem{}));
    KVTRELAY_DestroyContext(c);
    EXPECT_EQ(KVTRELAY_E_NOTSTARTED, KVTRELAY_Shutdown());
    v = KVT_Version{};
    EXPECT_EQ(KVTRELAY_S_OK, KVTRELAY_GetVersion(&v));
    EXPECT_EQ(1u, v.major);

    // Every message fits the 64-character buffer; unknown statuses get a generic text.
    wchar_t buffer[80];
    for (int32_t status = -40; status <= 3; ++status) {
        wmemset(buffer, L'#', 80);
        ASSERT_EQ(KVTRELAY_S_OK, KVTRELAY_GetStatusMessage(buffer, status));
        EXPECT_LE(wcslen(buffer), 63u) << status;
        EXPECT_EQ(L'#', buffer[64]) << status;  // nothing written past the buffer
        if (status < -15) {
            EXPECT_STREQ(L"unknown status", buffer);
        }
    }
    KVTRELAY_GetStatusMessage(buffer, KVTRELAY_E_CANCELLED);
    EXPECT_STREQ(L"operation cancelled by event handler", buffer);
}

// The hashing thread reads a file back as it grows: the digest is the whole file's, a file
// shorter than it was said to be fails the job, and the next job starts clean.
TEST_F(RelayTest, FileHasherHashesWhatTheFileHolds)
{
    const std::string path = Tmp("growing");
    const std::string text = Noise(1500000);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    kvtrelay::CFileHasher hasher;
    kvtrelay::CSha256 whole;
    hasher.Begin(whole, fd, 0);
    for (size_t done = 0; done < text.size(); done += 100000) {
        size_t n = std::min<size_t>(100000, text.size() - done);
        ASSERT_EQ(static_cast<ssize_t>(n), write(fd, text.data() + done, n));
        hasher.Advance(done + n);
    }
    ASSERT_TRUE(hasher.Finish());
    std::string expected;
    uint64_t size = 0;
    ASSERT_TRUE(kvtrelay::HashFile(path, expected, size));
    EXPECT_EQ(expected, whole.HexDigest());

    kvtrelay::CSha256 cut;
    hasher.Begin(cut, fd, 0);
    hasher.Advance(text.size() + 1);
    EXPECT_FALSE(hasher.Finish());
    EXPECT_EQ(EIO, errno);

    kvtrelay::CSha256 again;
    hasher.Begin(again, fd, 0);
    hasher.Advance(text.size());
    EXPECT_TRUE(hasher.Finish());
    EXPECT_EQ(expected, again.HexDigest());
    close(fd);
}
