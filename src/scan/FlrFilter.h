#pragma once
// Include/exclude filters of a replication set. FlrFilter holds the compiled
// patterns; FlrFilterConf reads a set's two lists from its default subclient
// (exclusions "NODIRS", type 3; exceptions "YESDIRS", type 2) and answers
// match(path) for the scans. A configured filter without a leading "/"
// matches at any depth ("tmp" becomes "/**/tmp"). Not synchronised: a scan
// builds its own FlrFilterConf and uses it from one thread.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FLR/SP.h"

class TPathMatch;

class FlrFilter {
  public:
    // One matcher per non-empty pattern, in list order. Patterns are made
    // absolute and lose trailing "/" and "\" (a lone "/" stays). Throws
    // JxException "Failed to initialize pattern matcher for [PATTERN]"
    // (function "FlrFilter") for a pattern the matcher refuses.
    FlrFilter(const std::vector<std::string>& filters, const std::vector<std::string>& exceptions);
    ~FlrFilter();
    FlrFilter(const FlrFilter&) = delete;
    FlrFilter& operator=(const FlrFilter&) = delete;

    // True when an exclusion matches and no exception does. The path loses
    // trailing "/" and "\" first, as the patterns did.
    bool isFilteredOut(std::string_view path) const;

    size_t filterCount() const { return filters_.size(); }
    size_t exceptionCount() const { return exceptions_.size(); }

  private:
    std::vector<std::unique_ptr<TPathMatch>> filters_;
    std::vector<std::unique_ptr<TPathMatch>> exceptions_;
};

class FlrFilterConf : public SPEnabled {
  public:
    // Throws JxException (function "FlrFilterConf") "Failed to get
    // replication options for set N" and "Failed to get subclient list of
    // repset NAME"; a set without a default subclient works without filters.
    explicit FlrFilterConf(int setId);
    ~FlrFilterConf() override;

    // False without filters, else FlrFilter::isFilteredOut.
    bool match(std::string_view path) const;

    // Writes the two lists to the set's default subclient and filters by
    // them from now on (taken as patterns: only the leading "/" is added).
    void replaceFilters(const std::vector<std::string>& noDirs,
                        const std::vector<std::string>& yesDirs);

    int getSetId() const { return setId_; }
    unsigned long long getDefaultSubclientId() const { return defaultSubclient_; }
    const FlrFilter* getFilter() const { return filter_.get(); }

  private:
    int setId_;
    unsigned long long defaultSubclient_ = 0;
    std::unique_ptr<FlrFilter> filter_;
};
