// Reading and writing the kept copy of a source's index: three header lines (url, etag,
// last-modified, each "<key> <value>", the value possibly empty), a blank line, the index text.

#include "kept_index.h"

#include <cerrno>
#include <sstream>

#include "file_paths.h"
#include "relay_contract.h"
#include "repository.h"

namespace kvtrelay {

namespace {

const char* const kHeader = "kvtrelay-kept-index 1";
// The same limit as for an index read from a source.
const size_t kMaxKeptSize = 16 << 20;

bool readField(std::istream& in, const std::string& key, std::string& value)
{
    std::string line;
    if (!std::getline(in, line) || line.compare(0, key.size() + 1, key + " ") != 0)
        return false;
    value = line.substr(key.size() + 1);
    return true;
}

// Header values go on one line each; a server's value with a line break in it is not kept.
bool oneLine(const std::string& value)
{
    return value.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

bool LoadKeptIndex(const std::string& repository, KeptIndex& kept)
{
    kept = KeptIndex();
    std::string whole;
    if (!ReadRepositoryFile(repository, JoinPath(repository, contract::kKeptIndexFile), whole))
        return false;
    std::istringstream in(whole);
    std::string line;
    KeptIndex k;
    if (!std::getline(in, line) || line != kHeader || !readField(in, "url", k.url) || !readField(in, "etag", k.etag) ||
        !readField(in, "last-modified", k.lastModified) || !std::getline(in, line) || !line.empty() || k.url.empty())
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad() || text.str().size() > kMaxKeptSize)
        return false;
    k.text = text.str();
    kept = k;
    return true;
}

int SaveKeptIndex(const std::string& repository, const KeptIndex& kept)
{
    if (!oneLine(kept.url) || !oneLine(kept.etag) || !oneLine(kept.lastModified))
        return EINVAL;
    std::string text = std::string(kHeader) + "\nurl " + kept.url + "\netag " + kept.etag + "\nlast-modified " +
                       kept.lastModified + "\n\n" + kept.text;
    return WriteRepositoryFile(JoinPath(repository, contract::kKeptIndexFile), text);
}

}  // namespace kvtrelay
