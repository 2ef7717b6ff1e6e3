#include "FlrFilter.h"

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/TPathMatch.h"

namespace {

std::string_view withoutTrailingSeparators(std::string_view s) {
    while (s.size() > 1 && (s.back() == '/' || s.back() == '\\')) s.remove_suffix(1);
    return s;
}

std::unique_ptr<TPathMatch> compilePattern(const std::string& configured) {
    std::string pattern = configured[0] == '/' ? configured : "/" + configured;
    pattern = std::string(withoutTrailingSeparators(pattern));
    auto m = std::make_unique<TPathMatch>();
    m->setDelimiter('/');
    if (m->compile(pattern, 1, 0) != 0) {
        // The exception text is fixed; the matcher's reason goes to the log.
        EvDebug::Error("FlrFilter", "%s", m->lastError().c_str());
        JX_THROW("FlrFilter", "Failed to initialize pattern matcher for [" + pattern + "]");
    }
    return m;
}

void compileAll(const std::vector<std::string>& patterns,
                std::vector<std::unique_ptr<TPathMatch>>& out) {
    for (const std::string& p : patterns)
        if (!p.empty()) out.push_back(compilePattern(p));
}

bool anyMatches(const std::vector<std::unique_ptr<TPathMatch>>& matchers, std::string_view path) {
    for (const auto& m : matchers)
        if (m->match(path)) return true;
    return false;
}

}  // namespace

FlrFilter::FlrFilter(const std::vector<std::string>& filters,
                     const std::vector<std::string>& exceptions) {
    // A throw destroys the matchers built so far with the vectors.
    compileAll(filters, filters_);
    compileAll(exceptions, exceptions_);
}

FlrFilter::~FlrFilter() = default;

bool FlrFilter::isFilteredOut(std::string_view path) const {
    path = withoutTrailingSeparators(path);
    return anyMatches(filters_, path) && !anyMatches(exceptions_, path);
}
