// The domain object as a store: types, unset keys, generations, the primary domain, threads,
// and the plugin work folders.

#include "dom.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using VkaCore::CDom;

namespace {

struct DomDeleter {
    void operator()(CDom* d) const { d->Dispose(); }
};
using DomPtr = std::unique_ptr<CDom, DomDeleter>;

DomPtr newDom()
{
    return DomPtr(CDom::New(nullptr, nullptr, nullptr, false));
}

std::string makeTempDir()
{
    char tmpl[] = "/tmp/vka_dom_XXXXXX";
    const char* dir = mkdtemp(tmpl);
    return dir ? dir : "";
}

mode_t modeOf(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

}  // namespace

TEST(DomStore, UnsetKeysReadAsEmptyAndLeaveOutputsAlone)
{
    DomPtr dom = newDom();
    EXPECT_EQ(dom->Get("nothing"), "");
    EXPECT_EQ(dom->GetWxString("nothing"), wxString());
    EXPECT_EQ(dom->TypeOf("nothing"), CDom::Type::None);
    bool flag = true;
    EXPECT_FALSE(dom->Get("nothing", flag));
    EXPECT_TRUE(flag);
    flag = false;
    EXPECT_FALSE(dom->Get("nothing", flag));
    EXPECT_FALSE(flag);
    long long number = 17;
    EXPECT_FALSE(dom->Get("nothing", number));
    EXPECT_EQ(number, 17);

    // Typed reads refuse other types the same way: the text "true" is not a boolean.
    dom->Set("s", "true");
    EXPECT_FALSE(dom->Get("s", flag));
    EXPECT_FALSE(dom->Get("s", number));
    EXPECT_EQ(number, 17);
}

TEST(DomStore, EachTypeReadsBackAndAsText)
{
    DomPtr dom = newDom();
    dom->Set("s", std::string("text"));
    dom->Set("c", "chars");
    dom->Set("t", true);
    dom->Set("f", false);
    dom->SetInt("i", -9223372036854775807LL - 1);
    dom->SetWx("w", wxString::FromUTF8("gr\xc3\xbc\xc3\x9f"));
    dom->SetWx("n", 4015LL);

    EXPECT_EQ(dom->Get("s"), "text");
    EXPECT_EQ(dom->Get("c"), "chars");
    EXPECT_EQ(dom->Get("t"), "true");
    EXPECT_EQ(dom->Get("f"), "false");
    EXPECT_EQ(dom->Get("i"), "-9223372036854775808");
    EXPECT_EQ(dom->Get("w"), "gr\xc3\xbc\xc3\x9f");  // stored as UTF-8
    EXPECT_EQ(dom->GetWxString("w"), wxString(L"gr\u00fc\u00df"));
    EXPECT_EQ(dom->Get("n"), "4015");

    EXPECT_EQ(dom->TypeOf("s"), CDom::Type::String);
    EXPECT_EQ(dom->TypeOf("t"), CDom::Type::Boolean);
    EXPECT_EQ(dom->TypeOf("n"), CDom::Type::Integer);

    bool flag = true;
    EXPECT_TRUE(dom->Get("f", flag));
    EXPECT_FALSE(flag);
    long long number = 0;
    EXPECT_TRUE(dom->Get("n", number));
    EXPECT_EQ(number, 4015);
}

TEST(DomStore, KeysAreCaseSensitiveAndSetReplacesType)
{
    DomPtr dom = newDom();
    dom->Set("App.Name", "upper");
    dom->Set("app.name", "lower");
    EXPECT_EQ(dom->Get("App.Name"), "upper");
    EXPECT_EQ(dom->Get("app.name"), "lower");
    EXPECT_EQ(dom->Get("APP.NAME"), "");

    dom->SetInt("app.name", 3);
    EXPECT_EQ(dom->TypeOf("app.name"), CDom::Type::Integer);
    EXPECT_EQ(dom->Get("app.name"), "3");

    // A null text is stored as "" rather than dereferenced; bytes that are not UTF-8 are kept.
    dom->Set("k", static_cast<const char*>(nullptr));
    EXPECT_EQ(dom->TypeOf("k"), CDom::Type::String);
    dom->Set("latin1", "caf\xe9");
    EXPECT_EQ(dom->GetWxString("latin1").length(), 4u);
}

TEST(DomStore, UnsetAndKeysByPrefix)
{
    DomPtr dom = newDom();
    dom->Set("app.b", "1");
    dom->Set("app.a", "2");
    dom->Set("apq", "3");
    dom->Set("zz", "4");
    EXPECT_EQ(dom->Keys("app."), (std::vector<std::string>{"app.a", "app.b"}));
    EXPECT_EQ(dom->Keys(), (std::vector<std::string>{"app.a", "app.b", "apq", "zz"}));
    EXPECT_TRUE(dom->Keys("none").empty());

    EXPECT_TRUE(dom->Unset("app.a"));
    EXPECT_FALSE(dom->Unset("app.a"));
    EXPECT_EQ(dom->TypeOf("app.a"), CDom::Type::None);
    EXPECT_EQ(dom->Keys("app."), (std::vector<std::string>{"app.b"}));
}

TEST(DomStore, GenerationChangesOnEverySetAndUnset)
{
    DomPtr dom = newDom();
    unsigned long g0 = dom->Generation();
    dom->Set("k", "v");
    unsigned long g1 = dom->Generation();
    EXPECT_NE(g1, g0);
    dom->Set("k", "v");  // the same value again still counts as a change
    unsigned long g2 = dom->Generation();
    EXPECT_NE(g2, g1);
    dom->Unset("k");
    unsigned long g3 = dom->Generation();
    EXPECT_NE(g3, g2);
    dom->Get("k");
    EXPECT_EQ(dom->Generation(), g3);
}

TEST(DomPrimary, FirstDomainIsPrimaryUntilDisposed)
{
    ASSERT_EQ(CDom::Primary(), nullptr) << "another test left a domain object alive";
    CDom* first = CDom::New(nullptr, nullptr, nullptr, false);
    CDom* second = CDom::New(nullptr, nullptr, nullptr, false);
    EXPECT_EQ(CDom::Primary(), first);
    second->Dispose();
    EXPECT_EQ(CDom::Primary(), first);
    // The log target reads the primary domain from any thread; it must never see a dead one.
    first->Dispose();
    EXPECT_EQ(CDom::Primary(), nullptr);
    CDom* third = CDom::New(nullptr, nullptr, nullptr, false);
    EXPECT_EQ(CDom::Primary(), third);
    third->Dispose();
}

TEST(DomThreads, ConcurrentSetAndGetSeeWholeValues)
{
    DomPtr dom = newDom();
    const int kThreads = 4, kRounds = 5000;
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::string own = "k" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                dom->Set(own, std::to_string(i));
                if (dom->Get(own) != std::to_string(i))
                    ++torn;
                // Everyone writes one shared key with a long value; a reader must never see a mix.
                dom->Set("shared", std::string(64, static_cast<char>('a' + t)));
                std::string s = dom->Get("shared");
                if (s.size() != 64 || s.find_first_not_of(s[0]) != std::string::npos)
                    ++torn;
                dom->Keys("k");
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(torn.load(), 0);
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(dom->Get("k" + std::to_string(t)), std::to_string(kRounds - 1));
}

TEST(DomWorkdir, PluginFolderIsCreatedOwnerOnlyWithParents)
{
    std::string tmp = makeTempDir();
    ASSERT_FALSE(tmp.empty());
    DomPtr dom = newDom();
    std::string work = tmp + "/deep/work";
    dom->Set("app.path.work", work);

    mode_t oldMask = umask(022);
    wxString dir = dom->GetPluginWorkdirWx("diag");
    umask(oldMask);

    EXPECT_EQ(dir, wxString::FromUTF8((work + "/diag").c_str()));
    EXPECT_EQ(modeOf(work + "/diag"), 0700u);
    EXPECT_EQ(modeOf(work), 0700u);
    EXPECT_EQ(modeOf(tmp + "/deep"), 0700u);

    // An existing folder keeps its mode and is simply returned.
    chmod((work + "/diag").c_str(), 0755);
    EXPECT_EQ(dom->GetPluginWorkdirWx("diag"), dir);
    EXPECT_EQ(modeOf(work + "/diag"), 0755u);
    std::system(("rm -rf " + tmp).c_str());
}
