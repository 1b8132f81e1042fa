// Diagnostic tracing by module name, gated by the domain's trace lists.

#include "trace.h"

#include "dom.h"
#include "log2disk.h"

#include <wx/string.h>

#include <cstring>
#include <string>

namespace VkaCore {

namespace {

// The enabled modules as one comma-separated text, per thread so that the check takes no
// lock. It is rebuilt only when the domain changed; between changes a check allocates
// nothing and formats nothing.
struct TraceLists {
    const CDom* dom = nullptr;
    unsigned long generation = 0;
    bool valid = false;
    std::string names;  // "app.trace" + "," + "app.trace+"
};

thread_local TraceLists t_lists;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Exact, case-sensitive match of module against one of the comma-separated names; blanks
// around a name are ignored and "*" matches every module.
bool listNames(const std::string& names, const char* module, size_t moduleLen)
{
    const char* p = names.c_str();
    const char* end = p + names.size();
    while (p < end) {
        const char* comma = static_cast<const char*>(memchr(p, ',', static_cast<size_t>(end - p)));
        const char* stop = comma ? comma : end;
        const char* b = p;
        const char* e = stop;
        while (b < e && isBlank(*b))
            ++b;
        while (e > b && isBlank(e[-1]))
            --e;
        size_t len = static_cast<size_t>(e - b);
        if (len == 1 && *b == '*')
            return true;
        if (len == moduleLen && len > 0 && memcmp(b, module, len) == 0)
            return true;
        p = stop + 1;
    }
    return false;
}

const char* baseName(const char* file)
{
    if (!file)
        return "?";
    const char* slash = strrchr(file, '/');
    return slash ? slash + 1 : file;
}

void writeTrace(const char* module, const char* file, int line, const char* function, const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 96);
    out += '[';
    out += module ? module : "";
    out += "] ";
    out += baseName(file);
    out += ':';
    out += std::to_string(line);
    out += ' ';
    out += function ? function : "?";
    out += ": ";
    out += text;
    WriteLogLine("TRACE", out);
}

}  // namespace

bool LogTraceIsEnabled(const char* module)
{
    if (!module || !*module)
        return false;
    CDom* dom = CDom::Primary();
    if (!dom)
        return false;
    TraceLists& lists = t_lists;
    unsigned long generation = dom->Generation();
    if (!lists.valid || lists.dom != dom || lists.generation != generation) {
        lists.names = dom->Get("app.trace");
        lists.names += ',';
        lists.names += dom->Get("app.trace+");
        lists.dom = dom;
        lists.generation = generation;
        lists.valid = true;
    }
    return listNames(lists.names, module, strlen(module));
}

void LogTrace(const char* module, const char* file, int line, const char* function, const wchar_t* text)
{
    writeTrace(module, file, line, function, text ? wxString(text).utf8_string() : std::string());
}

void LogTrace(const char* module, const char* file, int line, const char* function, const char* text)
{
    writeTrace(module, file, line, function, text ? std::string(text) : std::string());
}

}  // namespace VkaCore
