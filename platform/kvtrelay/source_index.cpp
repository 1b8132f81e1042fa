// Reading the index an update source offers: its grammar, line by line, and the package paths it may name.

#include "source_index.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <sstream>

#include "entity_identity.h"
#include "sha256_stream.h"

namespace kvtrelay {

const char* const kIndexName = "index.txt";

namespace {

const char* const kIndexHeader = "kvtrelay-index 1";

std::vector<std::string> splitFields(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string f;
    while (in >> f)
        fields.push_back(f);
    return fields;
}

}  // namespace

bool IsSafePackagePath(const std::string& path)
{
    if (path.empty() || path.front() == '/' || path.back() == '/')
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        for (char c : part)
            if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-' && c != '+')
                return false;
        start = end + 1;
    }
    return true;
}

bool ParseIndex(const std::string& text, SourceIndex& index, std::string& error)
{
    index.products.clear();
    std::istringstream in(text);
    std::string line;
    int number = 0;
    bool headerSeen = false;
    auto fail = [&](const char* what) {
        error = "line " + std::to_string(number) + ": " + what;
        index.products.clear();
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> f = splitFields(line);
        if (f.empty() || f[0][0] == '#')
            continue;
        if (!headerSeen) {
            if (f.size() != 2 || f[0] + " " + f[1] != kIndexHeader)
                return fail("expected \"kvtrelay-index 1\"");
            headerSeen = true;
            continue;
        }
        if (f[0] == "product") {
            IndexProduct p;
            if (f.size() != 2 || !ParseEntityId(f[1], p.entity))
                return fail("bad product line");
            index.products.push_back(p);
        } else if (f[0] == "component") {
            if (index.products.empty())
                return fail("component before any product");
            IndexComponent c;
            if (f.size() != 5 || !ParseEntityId(f[1], c.entity))
                return fail("bad component line");
            if (!IsSafePackagePath(f[2]))
                return fail("bad package path");
            char* end = nullptr;
            errno = 0;
            unsigned long long size = strtoull(f[3].c_str(), &end, 10);
            if (f[3].empty() || !isdigit(static_cast<unsigned char>(f[3][0])) || *end || errno)
                return fail("bad package size");
            if (!IsHexDigest(f[4]))
                return fail("bad SHA-256");
            c.package = f[2];
            c.size = size;
            c.sha256 = f[4];
            index.products.back().components.push_back(c);
        } else {
            return fail("unknown record");
        }
    }
    if (!headerSeen) {
        error = "empty index";
        return false;
    }
    return true;
}

}  // namespace kvtrelay
