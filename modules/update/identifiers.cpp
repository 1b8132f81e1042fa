// Component identifiers: compact strings, string forms, display versions and the Lua tables of entities.
#include "identifiers.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "relay_contract.h"

namespace {

// Marks an entity that Lua never sees.
const int32_t kHidden = -10;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Digit runs wrap silently; callers keep the bits they need.
uint64_t readDigits(const char* s, size_t len, size_t& pos)
{
    uint64_t v = 0;
    while (pos < len && isDigit(s[pos]))
        v = v * 10 + static_cast<uint64_t>(s[pos++] - '0');
    return v;
}

const char* parseIdentifier(const char* s, size_t len, KVTRELAY_EntityItem& e)
{
    e = KVTRELAY_EntityItem{};
    e.language = e.platform = e.region = e.oem = -1;

    size_t pos = 0;
    if (pos >= len || s[pos] != 'c')
        return "invalid product class";
    ++pos;
    e.klass = static_cast<int32_t>(static_cast<uint32_t>(readDigits(s, len, pos)));
    if (pos >= len || s[pos] != 't')
        return "invalid product type";
    ++pos;
    e.type = static_cast<int32_t>(static_cast<uint32_t>(readDigits(s, len, pos)));

    if (pos < len && s[pos] == 'v') {
        ++pos;
        e.version.major = readDigits(s, len, pos);
        if (pos < len && s[pos] == '.') {
            ++pos;
            // The minor is a fraction with four places; a fifth digit is tolerated, a sixth is not.
            static const uint64_t weights[] = {1000, 100, 10, 1, 0};
            for (int i = 0; i < 5 && pos < len && isDigit(s[pos]); ++i)
                e.version.minor += weights[i] * static_cast<uint64_t>(s[pos++] - '0');
            if (pos < len && isDigit(s[pos]))
                return "minor version too large";
            if (pos < len && s[pos] == '.') {
                ++pos;
                e.version.build = readDigits(s, len, pos);
                if (pos < len && s[pos] == '.') {
                    ++pos;
                    e.version.revision = readDigits(s, len, pos);
                }
            }
        }
    }

    for (int fields = 0;; ++fields) {
        if (pos >= len)
            return nullptr;
        if (fields == 4)
            return "too many fields";
        int32_t* target;
        switch (s[pos]) {
        case 'l': target = &e.language; break;
        case 'p': target = &e.platform; break;
        case 'r': target = &e.region; break;
        case 'o': target = &e.oem; break;
        default: return "invalid field";
        }
        ++pos;
        bool negative = pos < len && s[pos] == '-';
        if (negative)
            ++pos;
        uint32_t magnitude = static_cast<uint32_t>(readDigits(s, len, pos));
        *target = static_cast<int32_t>(negative ? 0u - magnitude : magnitude);
    }
}

// Short texts are put together by hand: with snprintf, formatting took most of the time of
// converting large results to Lua.
class TextBuilder {
public:
    TextBuilder& add(const char* s)
    {
        while (*s && m_size < kCapacity)
            m_text[m_size++] = *s++;
        return *this;
    }
    TextBuilder& add(char c)
    {
        if (m_size < kCapacity)
            m_text[m_size++] = c;
        return *this;
    }
    TextBuilder& add(uint64_t v)
    {
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0)
            add(digits[--n]);
        return *this;
    }
    TextBuilder& add(int32_t v)
    {
        if (v < 0)
            return add('-').add(static_cast<uint64_t>(-static_cast<int64_t>(v)));
        return add(static_cast<uint64_t>(v));
    }
    TextBuilder& add(uint32_t v) { return add(static_cast<uint64_t>(v)); }
    void push(lua_State* L) const { lua_pushlstring(L, m_text, m_size); }

private:
    static const size_t kCapacity = 192;
    char m_text[kCapacity];
    size_t m_size = 0;
};

// Minor version text. The leading-zero form pads to four digits in front ("0050" for 50); the
// trailing-zero form pads behind ("5000" for 5). Then at most `strip` trailing zeros go.
void minorText(char* out, size_t size, uint64_t minor, bool trailingForm, int strip)
{
    if (!trailingForm && minor == 0) {
        if (size >= 2) {
            out[0] = '0';
            out[1] = 0;
        }
        return;
    }
    char digits[20];
    int count = 0;
    for (uint64_t v = minor;; v /= 10) {
        digits[count++] = static_cast<char>('0' + v % 10);
        if (v < 10)
            break;
    }
    int pad = trailingForm ? (minor < 10 ? 3 : minor < 100 ? 2 : minor < 1000 ? 1 : 0) : (count < 4 ? 4 - count : 0);
    size_t n = 0;
    if (!trailingForm)
        for (int i = 0; i < pad && n + 1 < size; ++i)
            out[n++] = '0';
    while (count > 0 && n + 1 < size)
        out[n++] = digits[--count];
    if (trailingForm)
        for (int i = 0; i < pad && n + 1 < size; ++i)
            out[n++] = '0';
    out[n] = 0;
    for (int removed = 0; removed < strip && n > 0 && out[n - 1] == '0'; ++removed)
        out[--n] = 0;
}

// Names of a family that comes in one pattern per language: english, china, japan, other.
const char* byLanguage(const char* const (&names)[4], int32_t language)
{
    return names[language == 1 ? 0 : language == 2 ? 1 : language == 4 ? 2 : 3];
}

const char* const kMezra[4] = {"mezra_english", "mezra_china", "mezra_japan", "mezra_unknown"};
const char* const kTolv[4] = {"tolv_english", "tolv_china", "tolv_japan", "tolv_unknown"};

const size_t kMinorSize = 32;

}  // namespace

const char* StringToComponent(lua_State* L, int index, KVTRELAY_EntityItem& entity)
{
    if (!lua_isstring(L, index))
        return "expected product id string";
    // Convert a copy: converting a number in place would disturb a table traversal.
    lua_pushvalue(L, index);
    size_t len = 0;
    const char* s = lua_tolstring(L, -1, &len);
    const char* error = parseIdentifier(s, len, entity);
    lua_pop(L, 1);
    return error;
}

const char* StringToProduct(lua_State* L, int index, KVTRELAY_Product& product)
{
    product.items = nullptr;
    product.itemCount = 0;
    return StringToComponent(L, index, product.entity);
}

void ComponentToString(lua_State* L, const KVTRELAY_EntityItem& e)
{
    TextBuilder text;
    text.add('c').add(e.klass).add('t').add(e.type).add('l').add(e.language).add('p').add(e.platform);
    text.add('r').add(e.region).add('o').add(e.oem).push(L);
}

namespace {

// Product names and extract identifiers differ on purpose: a product name prints major and build
// unsigned and drops up to three zeros of the minor; an extract identifier prints them as signed
// 32-bit numbers and keeps every zero. Both are fixed formats that stored identifiers rely on:
// keep the two instantiations apart.
template <typename VersionPart>
void versionedToString(lua_State* L, const KVTRELAY_EntityItem& e, int minorZerosDropped)
{
    char minor[kMinorSize];
    minorText(minor, sizeof minor, e.version.minor, false, minorZerosDropped);
    TextBuilder text;
    text.add('c').add(e.klass).add('t').add(e.type).add('v');
    text.add(static_cast<VersionPart>(e.version.major)).add('.').add(minor).add('.');
    text.add(static_cast<VersionPart>(e.version.build));
    text.add('l').add(e.language).add('p').add(e.platform).add('r').add(e.region).add('o').add(e.oem).push(L);
}

}  // namespace

void ProductToString(lua_State* L, const KVTRELAY_EntityItem& e)
{
    versionedToString<uint32_t>(L, e, 3);
}

void EntityToString(lua_State* L, const KVTRELAY_EntityItem& e)
{
    versionedToString<int32_t>(L, e, 0);
}

bool IsScanEngine(const KVTRELAY_EntityItem& e)
{
    if (e.klass != RelayContract::kKlassEngine)
        return false;
    switch (static_cast<uint32_t>(e.type)) {
    case 0x48000202:
    case 0x48000203:
    case 0x48000225:
    case 0x48000226:
    case 0x48000227:
    case 0x48000228: return true;
    default: return false;
    }
}

void ConvertVersionFormatVT2UI(lua_State* L, int32_t klass, int32_t type, const KVT_Version* v)
{
    TextBuilder text;
    if (klass == RelayContract::kKlassPattern && v->minor == 0 && v->build == 0) {
        // Patterns numbered by their major alone show it split into groups of digits.
        uint64_t b = v->major;
        auto digit = [b](uint64_t weight) { return static_cast<char>('0' + (b / weight) % 10); };
        switch (static_cast<uint32_t>(type)) {
        case 4:
        case 0x20000020:
        case 0x20000040:
        case 0x20000400:
        case 0x40800000:
        case 0x41000000:
        case 0x48020000:
        case 0x48040024:
        case 0x48040025:
        case 0x48040066:
            text.add(static_cast<int32_t>(b / 100000)).add('.').add(digit(10000)).add(digit(1000)).add(digit(100));
            text.add('.').add(digit(10)).add(digit(1));
            break;
        case 0x4000000:
        case 0x4000001:
            text.add(static_cast<int32_t>(b / 1000)).add('.').add(digit(100)).add(digit(10)).add(digit(1));
            break;
        case 0x40000010: text.add(static_cast<int32_t>(b / 100)).add('.').add(digit(10)).add(digit(1)); break;
        case 0x48000100:
            text.add(static_cast<int32_t>(b / 100000)).add('.').add(digit(10000)).add(digit(1000)).add(digit(100));
            text.add(digit(10)).add(digit(1));
            break;
        default: text.add(static_cast<int32_t>(b)); break;
        }
        text.push(L);
        return;
    }
    KVTRELAY_EntityItem e{};
    e.klass = klass;
    e.type = type;
    char minor[kMinorSize];
    if (IsScanEngine(e))
        minorText(minor, sizeof minor, v->minor, true, 1);
    else if (klass == RelayContract::kKlassRules && type == RelayContract::kTypeVkru)
        minorText(minor, sizeof minor, v->minor, false, 1);
    else
        minorText(minor, sizeof minor, v->minor, false, 3);
    text.add(static_cast<uint32_t>(v->major)).add('.').add(minor);
    if (v->build != 0)
        text.add('.').add(static_cast<uint32_t>(v->build));
    text.push(L);
}

const char* EntityFriendlyName(const KVTRELAY_EntityItem& e)
{
    if (e.klass == RelayContract::kKlassRules)
        return e.type == RelayContract::kTypeVkru ? "vkru" : nullptr;
    if (e.klass != RelayContract::kKlassPattern)
        return nullptr;
    switch (static_cast<uint32_t>(e.type)) {
    case RelayContract::kTypeMezra: return byLanguage(kMezra, e.language);
    case 0x48008000: return byLanguage(kTolv, e.language);
    case 0x800: return "tarnel_cleanup";
    case 0x20000001: return "ketho";
    case 0x20000020: return "quillmaw_white";
    case 0x20000040: return "quillmaw_black";
    case 0x20000400: return "mezra_spyware";
    case 0x40000010: return "pelgo_k6";
    case 0x40800000: return "vorlak_white_list";
    case 0x48040066: return "nimbrel";
    default: return nullptr;
    }
}

namespace {

// The fields of an entity table, in the order they are set.
enum EntityField {
    kKlass,
    kType,
    kLanguage,
    kPlatform,
    kRegion,
    kOem,
    kVersion,
    kName,
    kExtract,
    kFriendly,
    kFieldCount
};
const char* const kFieldNames[kFieldCount] = {"klass", "type",    "language", "platform", "region",
                                              "oem",   "version", "name",     "extract",  "friendly"};

// Builds one entity table (or nil for a hidden entity) and returns its friendly name. With keys,
// the stack index of the field names pushed in order by pushFieldNames, every field is stored
// by a raw set with a name already interned: over a whole record this saves hashing and looking
// up each name again for every entity.
const char* entityToLua(lua_State* L, const KVTRELAY_EntityItem& e, bool isProduct, int keys)
{
    if (e.language == kHidden || e.platform == kHidden || e.region == kHidden || e.oem == kHidden) {
        lua_pushnil(L);
        return nullptr;
    }
    lua_createtable(L, 0, kFieldCount);
    auto key = [L, keys](EntityField field) {
        if (keys)
            lua_pushvalue(L, keys + field);
    };
    auto store = [L, keys](EntityField field) { /* table, [key,] value */
                                                if (keys)
                                                    lua_rawset(L, -3);
                                                else
                                                    lua_setfield(L, -2, kFieldNames[field]);
    };
    const std::pair<EntityField, int32_t> numbers[] = {{kKlass, e.klass},       {kType, e.type},
                                                       {kLanguage, e.language}, {kPlatform, e.platform},
                                                       {kRegion, e.region},     {kOem, e.oem}};
    for (const auto& field : numbers) {
        key(field.first);
        lua_pushinteger(L, field.second);
        store(field.first);
    }
    key(kVersion);
    ConvertVersionFormatVT2UI(L, e.klass, e.type, &e.version);
    store(kVersion);
    key(kName);
    if (isProduct)
        ProductToString(L, e);
    else
        ComponentToString(L, e);
    store(kName);
    key(kExtract);
    EntityToString(L, e);
    store(kExtract);
    const char* friendly = EntityFriendlyName(e);
    if (friendly) {
        key(kFriendly);
        lua_pushstring(L, friendly);
        store(kFriendly);
    }
    return friendly;
}

void pushFieldNames(lua_State* L)
{
    for (const char* name : kFieldNames)
        lua_pushstring(L, name);
}

}  // namespace

void EntityToLua(lua_State* L, const KVTRELAY_EntityItem& e, bool isProduct)
{
    entityToLua(L, e, isProduct, 0);
}

void ComponentToLua(lua_State* L, const KVTRELAY_EntityItem& entity)
{
    EntityToLua(L, entity, false);
}

void ProductToLua(lua_State* L, const KVTRELAY_EntityItem& entity)
{
    EntityToLua(L, entity, true);
}

namespace {

// Stores the entry on top of the stack at `number` of the table at `table`, and under its
// friendly name when it has one; pops the entry. The friendly name, when there is one, is the
// entry's "friendly" field, reached through the interned name at friendlyKey.
void storeEntry(lua_State* L, int table, int number, bool friendly, int friendlyKey)
{
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);  // a hidden entity leaves a hole at its number
        return;
    }
    lua_pushvalue(L, -1);
    lua_rawseti(L, table, number);
    if (!friendly) {
        lua_pop(L, 1);
        return;
    }
    lua_pushvalue(L, friendlyKey); /* entry, "friendly" */
    lua_rawget(L, -2);             /* entry, friendly */
    lua_insert(L, -2);             /* friendly, entry */
    lua_rawset(L, table);
}

// The body of InformationToLua, run in a protected call: information is the light userdata
// argument; returns the table.
int convertInformation(lua_State* L)
{
    const auto* information = static_cast<const KVTRELAY_Information*>(lua_touserdata(L, 1));
    uint64_t entries = information->count;
    for (uint64_t i = 0; i < information->count; ++i)
        entries += information->products[i].itemCount;
    luaL_checkstack(L, kFieldCount + 8, "entity field names");
    pushFieldNames(L);
    const int keys = lua_gettop(L) - kFieldCount + 1;
    lua_createtable(L, entries > INT_MAX ? INT_MAX : static_cast<int>(entries), 0);
    int table = lua_gettop(L);
    int number = 0;
    for (uint64_t i = 0; i < information->count; ++i) {
        const KVTRELAY_Product& product = information->products[i];
        bool friendly = entityToLua(L, product.entity, true, keys) != nullptr;
        storeEntry(L, table, ++number, friendly, keys + kFriendly);
        for (uint64_t k = 0; k < product.itemCount; ++k) {
            friendly = entityToLua(L, product.items[k], false, keys) != nullptr;
            storeEntry(L, table, ++number, friendly, keys + kFriendly);
        }
    }
    return 1;
}

}  // namespace

void InformationToLua(lua_State* L, const KVTRELAY_Information* information)
{
    // Everything the conversion allocates stays reachable from the result, so a collection
    // in the middle of it frees nothing and only walks the growing table again and again.
    // The collector is paused for the conversion, which runs as a protected call so that an
    // allocation failure cannot leave it paused.
    lua_pushcfunction(L, convertInformation);
    lua_pushlightuserdata(L, const_cast<KVTRELAY_Information*>(information));
    const bool collecting = lua_gc(L, LUA_GCISRUNNING, 0) != 0;
    if (collecting)
        lua_gc(L, LUA_GCSTOP, 0);
    const int status = lua_pcall(L, 1, 1, 0);
    if (collecting)
        lua_gc(L, LUA_GCRESTART, 0);
    if (status != LUA_OK)
        lua_error(L); /* rethrow the error object */
}

int l_tocomponent(lua_State* L)
{
    KVTRELAY_EntityItem entity;
    if (const char* error = StringToComponent(L, 1, entity))
        return luaL_argerror(L, 1, error);
    ComponentToLua(L, entity);
    return 1;
}

int l_toproduct(lua_State* L)
{
    KVTRELAY_EntityItem entity;
    if (const char* error = StringToComponent(L, 1, entity))
        return luaL_argerror(L, 1, error);
    ProductToString(L, entity);
    return 1;
}
