// Unzip: extraction, the per-entry decision, replacement, refusal of unsafe archives and
// behaviour on damaged ones; the shared extraction sequence under it, case by case.

#include "log2disk.h"
#include "unzip.h"
#include "zip_unpack.h"

#include "folders.h"

#include "folder_listing.h"
#include "service_test_support.h"

#include <wx/log.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

using namespace VkaCore;
using VkaTest::Exists;
using VkaTest::ListFolder;
using VkaTest::ReadFile;
using VkaTest::TempDir;

namespace {

// Builds an archive with python's zipfile. Each spec line is "kind name data":
// f = deflated file, s = stored file, d = directory, l = symbolic link to data,
// x = executable file (mode 0755), w = a link as Windows marks it (made on NTFS, reparse point).
void MakeZip(const std::string& archive, const std::vector<std::string>& specs)
{
    std::string script = "import sys, zipfile\n"
                         "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                         "for spec in sys.argv[2:]:\n"
                         "    kind, name, data = spec.split(' ', 2)\n"
                         "    i = zipfile.ZipInfo(name, (2020, 5, 17, 10, 20, 30))\n"
                         "    i.create_system = 10 if kind == 'w' else 3\n"
                         "    i.compress_type = zipfile.ZIP_STORED if kind in 'sdlw' else zipfile.ZIP_DEFLATED\n"
                         "    mode = {'d': 0o40755, 'l': 0o120777, 'x': 0o100755, 'w': 0}.get(kind, 0o100644)\n"
                         "    i.external_attr = mode << 16 | (0x10 if kind == 'd' else 0x400 if kind == 'w' else 0)\n"
                         "    z.writestr(i, data.encode())\n"
                         "z.close()\n";
    // The script comes on standard input; names and data are arguments (no quotes in them).
    std::string cmd = "python3 - '" + archive + "'";
    for (const auto& spec : specs)
        cmd += " '" + spec + "'";
    FILE* p = popen(cmd.c_str(), "w");
    ASSERT_NE(p, nullptr);
    fwrite(script.data(), 1, script.size(), p);
    ASSERT_EQ(pclose(p), 0) << "python3 could not build " << archive;
}

struct Recorder {
    bool answer = true;
    std::vector<std::string> paths;
    std::vector<std::string> names;
    static bool Call(void* context, const wxZipEntry* entry, const wxString* path)
    {
        auto* self = static_cast<Recorder*>(context);
        self->paths.push_back(path->ToStdString());
        self->names.push_back(entry->GetInternalName().ToStdString());
        return self->answer;
    }
};

class UnzipTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        VkaTest::UseWorkFolder(m_work.path(), "unit");
        m_previous = wxLog::SetActiveTarget(&m_log);
        ::mkdir(target().c_str(), 0755);
    }
    void TearDown() override { wxLog::SetActiveTarget(m_previous); }

    std::string target() const { return m_work / "target"; }
    std::string archive() const { return m_work / "package.zip"; }
    bool Run(Recorder& r) { return Unzip(wxFileName(archive()), wxFileName::DirName(target()), &Recorder::Call, &r); }
    std::string logText() const { return ReadFile(m_work / "unit.log"); }

    TempDir m_work;
    CLog2Disk m_log;
    wxLog* m_previous = nullptr;
};

TEST_F(UnzipTest, ExtractsFilesAndFoldersAtTheirPathsBelowTheTarget)
{
    MakeZip(archive(), {"f top.lua print(1)", "d sub/ -", "f sub/deep/mod.lua return {}", "s stored.txt plain",
                        "x bin/run.sh #!/bin/sh", "s empty.txt "});
    Recorder r;
    ASSERT_TRUE(Run(r));

    const std::string t = target();
    EXPECT_EQ(r.paths, (std::vector<std::string>{t + "/top.lua", t + "/sub/", t + "/sub/deep/mod.lua",
                                                 t + "/stored.txt", t + "/bin/run.sh", t + "/empty.txt"}));
    EXPECT_EQ(ReadFile(t + "/top.lua"), "print(1)");
    EXPECT_EQ(ReadFile(t + "/sub/deep/mod.lua"), "return {}");
    EXPECT_EQ(ReadFile(t + "/stored.txt"), "plain");
    EXPECT_EQ(ReadFile(t + "/empty.txt"), "");
    struct stat st;
    ASSERT_EQ(stat((t + "/bin/run.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(stat((t + "/top.lua").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // No temporary file is left behind.
    EXPECT_EQ(ListFolder(t), (std::vector<std::string>{"bin", "empty.txt", "stored.txt", "sub", "top.lua"}));
}

TEST_F(UnzipTest, CallbackSayingFalseExtractsNothingButSeesEveryEntry)
{
    MakeZip(archive(), {"f a.lua 1", "d dir/ -", "f dir/b.lua 2"});
    Recorder r;
    r.answer = false;
    ASSERT_TRUE(Run(r));
    EXPECT_EQ(r.names, (std::vector<std::string>{"a.lua", "dir", "dir/b.lua"}));
    EXPECT_TRUE(ListFolder(target()).empty());
}

TEST_F(UnzipTest, ExistingFileIsReplacedWhole)
{
    VkaTest::WriteFile(target() + "/a.lua", std::string(10000, 'o'));
    MakeZip(archive(), {"f a.lua new"});
    Recorder r;
    ASSERT_TRUE(Run(r));
    EXPECT_EQ(ReadFile(target() + "/a.lua"), "new");
    EXPECT_EQ(ListFolder(target()), std::vector<std::string>{"a.lua"});
}

TEST_F(UnzipTest, UnsafeArchivesAreRefusedBeforeAnythingHappens)
{
    // Longer than the path limit; folders that deep would also have been made by recursion.
    std::string longName;
    for (int i = 0; i < 2200; ++i)
        longName += "d/";
    longName += "f";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"f /etc/vka-absolute x", "/etc/vka-absolute"},
        {"f ../escape x", "../escape"},
        {"f sub/../../escape x", "sub/../../escape"},
        {"l link /etc", "link"},
        {"w link C:/Windows", "link"},
        {"f C:/escape x", "C:/escape"},
        {"f dir\\escape x", "dir\\escape"},
        {"f ./.. x", "./.."},
        {"f " + longName + " x", longName.substr(0, 200) + "... (4401 bytes)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ::unlink(archive().c_str());
        // A harmless entry first: it must not be written either.
        MakeZip(archive(), {"f first.lua 1", c.first});
        Recorder r;
        EXPECT_FALSE(Run(r));
        EXPECT_TRUE(r.paths.empty());
        EXPECT_TRUE(ListFolder(target()).empty());
        EXPECT_FALSE(Exists(m_work / "escape"));
        EXPECT_NE(logText().find("WARNING Refusing archive '" + archive() + "': unsafe entry '" + c.second + "'"),
                  std::string::npos)
            << logText();
    }
    EXPECT_FALSE(Exists("/etc/vka-absolute"));
}

TEST_F(UnzipTest, DamagedEntryLeavesNoFileUnderItsNameAndKeepsTheOldOne)
{
    const std::string payload(100000, 'p');
    MakeZip(archive(), {"s good.txt fine", "s bad.txt " + payload});
    VkaTest::WriteFile(target() + "/bad.txt", "old");
    // Corrupt the stored data of the second entry: its CRC no longer matches.
    std::string bytes = ReadFile(archive());
    size_t at = bytes.find(std::string(1000, 'p'));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 500] = 'q';
    VkaTest::WriteFile(archive(), bytes);

    Recorder r;
    EXPECT_FALSE(Run(r));
    EXPECT_EQ(ReadFile(target() + "/bad.txt"), "old");
    EXPECT_EQ(ListFolder(target()), (std::vector<std::string>{"bad.txt", "good.txt"}));
    EXPECT_NE(logText().find("WARNING Damaged archive '" + archive() + "'"), std::string::npos);
}

TEST_F(UnzipTest, TruncatedOrMissingArchiveGivesFalseAndWritesNothing)
{
    MakeZip(archive(), {"f a.lua " + std::string(5000, 'a'), "f b.lua " + std::string(5000, 'b')});
    std::string bytes = ReadFile(archive());
    VkaTest::WriteFile(archive(), bytes.substr(0, bytes.size() / 2));
    Recorder r;
    EXPECT_FALSE(Run(r));
    EXPECT_TRUE(r.paths.empty());
    EXPECT_TRUE(ListFolder(target()).empty());

    ::unlink(archive().c_str());
    EXPECT_FALSE(Run(r));
    EXPECT_TRUE(r.paths.empty());
}

TEST_F(UnzipTest, TemporariesOfProcessesThatAreGoneAreSweptFromTheFoldersWrittenTo)
{
    // A writer killed in mid-entry leaves its temporary; the pid in the name tells it apart
    // from one that a live process is still writing.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string dead = ".vka-unzip-" + std::to_string(child) + "-AbCdEf";
    const std::string live = ".vka-unzip-" + std::to_string(getpid()) + "-AbCdEf";
    ::mkdir((target() + "/sub").c_str(), 0755);
    ::mkdir((target() + "/other").c_str(), 0755);
    for (const std::string& folder : {target(), target() + "/sub", target() + "/other"}) {
        VkaTest::WriteFile(folder + "/" + dead, "half");
        VkaTest::WriteFile(folder + "/" + live, "busy");
    }
    VkaTest::WriteFile(target() + "/.vka-unzip-notapid", "kept");

    MakeZip(archive(), {"f a.lua 1", "f sub/b.lua 2"});
    Recorder r;
    ASSERT_TRUE(Run(r));
    EXPECT_EQ(ListFolder(target()), (std::vector<std::string>{live, ".vka-unzip-notapid", "a.lua", "other", "sub"}));
    EXPECT_EQ(ListFolder(target() + "/sub"), (std::vector<std::string>{live, "b.lua"}));
    // Only folders this archive writes to are looked at.
    std::vector<std::string> untouched{live, dead};
    std::sort(untouched.begin(), untouched.end());
    EXPECT_EQ(ListFolder(target() + "/other"), untouched);
}

// The extraction sequence both unzip and the relay's export use: which failures it reports in
// which order, when it goes on, and what is on disk afterwards.
TEST_F(UnzipTest, ExtractionSequenceReportsEachFailureAndWritesOnlyWhatMayBe)
{
    using Step = ziparchive::ExtractFailure::Step;
    struct Handler : ziparchive::CExtractHandler {
        std::string skip;
        bool goOn = true;
        std::vector<Step> steps;
        bool Wanted(const ziparchive::Entry& e) override { return e.name != skip; }
        bool Failed(const ziparchive::ExtractFailure& f) override
        {
            steps.push_back(f.step);
            return goOn;
        }
    };
    struct Case {
        const char* what;
        std::vector<std::string> entries;
        std::string skip;     // an entry the handler does not want
        std::string blocker;  // a file planted where a folder must go
        bool goOn;            // the handler's answer to a failure
        bool makeRoot;        // the root is "out/new", which does not exist yet
        bool result;
        std::vector<Step> steps;
        std::vector<std::string> root;  // what the root holds afterwards
    };
    const std::vector<Case> cases = {
        {"all written, root made",
         {"f a.lua 1", "d d/ -", "f d/b.lua 2"},
         "",
         "",
         true,
         true,
         true,
         {},
         {"a.lua", "d"}},
        {"empty archive, root made", {}, "", "", true, true, true, {}, {}},
        {"unwanted entry left out", {"f a.lua 1", "f b.lua 2"}, "a.lua", "", true, true, true, {}, {"b.lua"}},
        {"unsafe name: nothing made", {"f a.lua 1", "f ../x 2"}, "", "", true, true, false, {Step::Unsafe}, {"-"}},
        {"blocked folder, going on",
         {"f d/a.lua 1", "f b.lua 2"},
         "",
         "d",
         true,
         false,
         false,
         {Step::Folder},
         {"b.lua", "d"}},
        {"blocked folder, stopping", {"f d/a.lua 1", "f b.lua 2"}, "", "d", false, false, false, {Step::Folder}, {"d"}},
        {"root blocked", {"f a.lua 1"}, "", ".", true, true, false, {Step::Folder}, {"-"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(archive().c_str());
        VkaTest::TempDir out;
        const std::string root = c.makeRoot ? out / "new" : out.path();
        if (c.blocker == ".")
            VkaTest::WriteFile(root, "in the way");
        else if (!c.blocker.empty())
            VkaTest::WriteFile(root + "/" + c.blocker, "in the way");
        std::string reason;
        if (c.entries.empty())
            VkaTest::WriteFile(archive(), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
        else
            MakeZip(archive(), c.entries);
        std::unique_ptr<ziparchive::CArchive> zip = ziparchive::CArchive::Open(archive(), reason);
        ASSERT_TRUE(zip) << reason;
        Handler h;
        h.skip = c.skip;
        h.goOn = c.goOn;
        EXPECT_EQ(ziparchive::Extract(*zip, root, h, c.makeRoot), c.result);
        EXPECT_EQ(h.steps, c.steps);
        if (c.root == std::vector<std::string>{"-"})
            EXPECT_FALSE(fdio::IsFolder(root));
        else
            EXPECT_EQ(ListFolder(root), c.root);
    }
}

}  // namespace
