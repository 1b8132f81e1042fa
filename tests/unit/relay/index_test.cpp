// Identifiers, index text and the rules that match requests against what a source offers.

#include <cstring>

#include "../../../modules/update/relay_contract.h"  // the module's side, beside the relay's
#include "information_block.h"
#include "product_selection.h"
#include "relay_contract.h"
#include "relay_fixture.h"
#include "repository.h"

using namespace kvtrelay;

TEST(EntityId, FormatsAndParsesBack)
{
    struct Case {
        const char* id;
        int32_t klass, type;
        uint64_t major, minor, build;
        int32_t language;
    } cases[] = {
        {"c3t4v1.5000.0l1p-1r-1o-1", 3, 4, 1, 5000, 0, 1},
        {"c3t4v1.0005.7l1p-1r-1o-1", 3, 4, 1, 5, 7, 1},
        {"c3t4v1.0.0l-1p-1r-1o-1", 3, 4, 1, 0, 0, -1},
        {"c2t1207960066v9.5000.1007l-1p-1r-1o-1", 2, 1207960066, 9, 5000, 1007, -1},
    };
    for (const Case& c : cases) {
        KVTRELAY_EntityItem e{};
        ASSERT_TRUE(ParseEntityId(c.id, e)) << c.id;
        EXPECT_EQ(c.klass, e.klass);
        EXPECT_EQ(c.type, e.type);
        EXPECT_EQ(c.major, e.version.major);
        EXPECT_EQ(c.minor, e.version.minor);
        EXPECT_EQ(c.build, e.version.build);
        EXPECT_EQ(c.language, e.language);
        EXPECT_EQ(c.id, EntityId(e));
    }
    // The minor is a fraction: a short one is read as its leading places.
    KVTRELAY_EntityItem e{};
    ASSERT_TRUE(ParseEntityId("c3t4v1.5.0l1p-1r-1o-1", e));
    EXPECT_EQ(5000u, e.version.minor);
    // Types above the signed range keep their bits.
    ASSERT_TRUE(ParseEntityId("c3t4294967295v1.0.0l1p-1r-1o-1", e));
    EXPECT_EQ(-1, e.type);
}

TEST(EntityId, RejectsOtherText)
{
    for (const char* bad : {"", "c3t4", "c3t4v1.5.0", "c3t4v1.12345.0l1p-1r-1o-1", "c3t4v1.5.0l1p-1r-1o-1x",
                            "c-3t4v1.5.0l1p-1r-1o-1", "c3t4v1..0l1p-1r-1o-1", "c3t4v1.5.0l1p-1o-1r-1",
                            "c3t4v1.5.0l3000000000p-1r-1o-1", "c3t4294967296v1.0.0l1p-1r-1o-1"}) {
        KVTRELAY_EntityItem e{};
        EXPECT_FALSE(ParseEntityId(bad, e)) << bad;
    }
}

namespace {

const std::string kDigest(64, 'a');

std::string component(const std::string& id, const std::string& package = "packages/a.zip",
                      const std::string& size = "10", const std::string& digest = kDigest)
{
    return "component " + id + " " + package + " " + size + " " + digest + "\n";
}

}  // namespace

TEST(ParseIndex, ReadsProductsAndComponents)
{
    std::string text = "# sample\r\nkvtrelay-index 1\n\nproduct c3t4v1.0.0l1p-1r-1o-1\n" +
                       component("c3t4v1.5000.0l1p-1r-1o-1", "packages/m-1.zip", "1234") +
                       component("c3t4v1.6000.0l1p-1r-1o-1", "packages/m-2.zip", "0") +
                       "product c2t1207960066v9.0.0l-1p-1r-1o-1\n" + component("c2t1207960066v9.5000.1007l-1p-1r-1o-1");
    SourceIndex index;
    std::string error;
    ASSERT_TRUE(ParseIndex(text, index, error)) << error;
    ASSERT_EQ(2u, index.products.size());
    ASSERT_EQ(2u, index.products[0].components.size());
    EXPECT_EQ("packages/m-1.zip", index.products[0].components[0].package);
    EXPECT_EQ(1234u, index.products[0].components[0].size);
    EXPECT_EQ(kDigest, index.products[0].components[0].sha256);
    EXPECT_EQ(0u, index.products[0].components[1].size);
    ASSERT_EQ(1u, index.products[1].components.size());
    EXPECT_EQ(2, index.products[1].entity.klass);
}

TEST(ParseIndex, RejectsMalformedLinesNamingThem)
{
    const std::string head = "kvtrelay-index 1\nproduct c3t4v1.0.0l1p-1r-1o-1\n";
    struct Case {
        std::string text;
        const char* error;
    } cases[] = {
        {"", "empty index"},
        {"kvtrelay-index 2\n", "line 1: expected \"kvtrelay-index 1\""},
        {"kvtrelay-index 1\n" + component("c3t4v1.0.0l1p-1r-1o-1"), "line 2: component before any product"},
        {"kvtrelay-index 1\nproduct c3t4\n", "line 2: bad product line"},
        {head + "comp c3t4v1.0.0l1p-1r-1o-1\n", "line 3: unknown record"},
        {head + "component c3t4v1.0.0l1p-1r-1o-1 packages/a.zip 10\n", "line 3: bad component line"},
        {head + component("c3t4v1.0.0l1p-1r-1o-1", "../a.zip"), "line 3: bad package path"},
        {head + component("c3t4v1.0.0l1p-1r-1o-1", "/etc/a.zip"), "line 3: bad package path"},
        {head + component("c3t4v1.0.0l1p-1r-1o-1", "a/./b.zip"), "line 3: bad package path"},
        {head + component("c3t4v1.0.0l1p-1r-1o-1", "a%20b.zip"), "line 3: bad package path"},
        {head + component("c3t4v1.0.0l1p-1r-1o-1", "a.zip", "-1"), "line 3: bad package size"},
        {head + component("c3t4v1.0.0l1p-1r-1o-1", "a.zip", "99999999999999999999999"), "line 3: bad package size"},
        {head + component("c3t4v1.0.0l1p-1r-1o-1", "a.zip", "10", std::string(63, 'a')), "line 3: bad SHA-256"},
        {head + component("c3t4v1.0.0l1p-1r-1o-1", "a.zip", "10", std::string(64, 'A')), "line 3: bad SHA-256"},
    };
    for (const Case& c : cases) {
        SourceIndex index;
        std::string error;
        EXPECT_FALSE(ParseIndex(c.text, index, error)) << c.text;
        EXPECT_EQ(c.error, error) << c.text;
        EXPECT_TRUE(index.products.empty());
    }
}

TEST(Matching, RequestFieldsOfMinusOneMatchAnything)
{
    KVTRELAY_EntityItem offered = relaytest::Entity("c3t4v1.5000.0l1p2r3o4");
    EXPECT_TRUE(EntityMatches(relaytest::Request(3, 4).entity, offered));
    EXPECT_TRUE(EntityMatches(relaytest::Request(3, 4, 1).entity, offered));
    EXPECT_FALSE(EntityMatches(relaytest::Request(3, 4, 2).entity, offered));
    EXPECT_FALSE(EntityMatches(relaytest::Request(3, 5).entity, offered));
    EXPECT_FALSE(EntityMatches(relaytest::Request(2, 4).entity, offered));
    KVTRELAY_EntityItem request = relaytest::Request(3, 4).entity;
    request.oem = 5;
    EXPECT_FALSE(EntityMatches(request, offered));

    // An item with a version names that version; 0.0.0.0 names any.
    EXPECT_TRUE(ItemMatches(relaytest::Entity("c3t4v1.5000.0l1p2r3o4"), offered));
    EXPECT_FALSE(ItemMatches(relaytest::Entity("c3t4v1.5001.0l1p2r3o4"), offered));
    EXPECT_TRUE(ItemMatches(relaytest::Entity("c3t4v0.0.0l-1p-1r-1o-1"), offered));
}

TEST(Matching, SelectsOfferedProductsAndRequestedItems)
{
    std::string text = "kvtrelay-index 1\nproduct c3t4v1.0.0l1p-1r-1o-1\n" + component("c3t4v1.1000.0l1p-1r-1o-1") +
                       component("c3t4v1.2000.0l1p-1r-1o-1") + "product c3t4v1.0.0l2p-1r-1o-1\n" +
                       component("c3t4v1.1000.0l2p-1r-1o-1") + "product c2t1207960066v9.0.0l-1p-1r-1o-1\n" +
                       component("c2t1207960066v9.5000.0l-1p-1r-1o-1");
    SourceIndex index;
    std::string error;
    ASSERT_TRUE(ParseIndex(text, index, error)) << error;

    // Two requests matching one product list it once.
    std::vector<KVTRELAY_Product> requests = {relaytest::Request(3, 4, 1), relaytest::Request(3, 4)};
    Selection s = SelectProducts(index, requests.data(), requests.size());
    ASSERT_EQ(2u, s.products.size());
    EXPECT_EQ(1, s.products[0].entity.language);
    EXPECT_EQ(2u, s.products[0].components.size());
    EXPECT_EQ(2, s.products[1].entity.language);

    // Items in a request narrow its components; products left without one are dropped.
    KVTRELAY_EntityItem item = relaytest::Entity("c3t4v1.2000.0l1p-1r-1o-1");
    KVTRELAY_Product narrowed = relaytest::Request(3, 4);
    narrowed.items = &item;
    narrowed.itemCount = 1;
    s = SelectProducts(index, &narrowed, 1);
    ASSERT_EQ(1u, s.products.size());
    ASSERT_EQ(1u, s.products[0].components.size());
    EXPECT_EQ("c3t4v1.2000.0l1p-1r-1o-1", EntityId(s.products[0].components[0].entity));

    KVTRELAY_Product none = relaytest::Request(22, 2213);
    EXPECT_TRUE(SelectProducts(index, &none, 1).products.empty());

    // The information block mirrors the selection.
    s = SelectProducts(index, requests.data(), requests.size());
    KVTRELAY_Information* info = MakeInformation(s);
    ASSERT_NE(nullptr, info);
    ASSERT_EQ(2u, info->count);
    EXPECT_EQ(2u, info->products[0].itemCount);
    EXPECT_EQ(2000u, info->products[0].items[1].version.minor);
    EXPECT_EQ(1u, info->products[1].itemCount);
    KVTRELAY_DestroyData(info);
}

TEST(TextConversion, WideAndUtf8)
{
    EXPECT_EQ("caf\xC3\xA9/\xE6\x97\xA5", WideToUtf8(L"caf\u00e9/\u65e5"));
    EXPECT_EQ(L"caf\u00e9/\u65e5", Utf8ToWide("caf\xC3\xA9/\xE6\x97\xA5"));
    // Bytes widened one by one with their sign come back as the same bytes.
    std::wstring widened;
    for (char c : std::string("caf\xC3\xA9"))
        widened += static_cast<wchar_t>(static_cast<signed char>(c));
    EXPECT_EQ("caf\xC3\xA9", WideToUtf8(widened.c_str()));
    EXPECT_EQ("", WideToUtf8(nullptr));
}

// The module empties repositories and removes packages by these names; a drift on either side
// would leave packages behind or delete the wrong files.
TEST(RelayContract, BothSidesAgree)
{
    namespace relay = kvtrelay::contract;
    EXPECT_STREQ(RelayContract::kServerIni, relay::kServerIni);
    EXPECT_STREQ(RelayContract::kPackagesFolder, relay::kPackagesFolder);
    EXPECT_EQ(RelayContract::kServerIniStub, std::string(relay::kPatternSection) + "\n\n" + relay::kEngineSection +
                                                 "\n\n" + relay::kProductSection + "\n\n");
    EXPECT_STREQ(RelayContract::kPackageSuffix, relay::kPackageSuffix);
    EXPECT_EQ(RelayContract::kServerPackageMinLength, relay::kServerPackageMinLength);
    EXPECT_EQ(RelayContract::kKlassEngine, relay::kKlassEngine);
    // The shortest package name is one the module's clean-up recognises.
    std::string name = CRepository::PackageName(KVTRELAY_EntityItem{});
    EXPECT_GT(name.size(), RelayContract::kServerPackageMinLength) << name;
    EXPECT_EQ(0, name.compare(name.size() - 4, 4, RelayContract::kPackageSuffix));
}
