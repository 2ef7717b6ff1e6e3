#pragma once
// Turning a decoded raw record (files named by fsf_fid) into the network form
// (files named by path), given something that knows each identifier's path.
// A record that creates, removes or renames a name is resolved through its
// parent directory: CREATE's path is the parent's path + "/" + short_name.
#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "FLR/FlrExport.h"
#include "FLR/FlrFid.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"

// Knows the path of a file identifier.
class FLR_EXPORT FlrFidResolver {
  public:
    virtual ~FlrFidResolver() = default;
    // NUL-terminated path, valid at least until the next call; nullptr when
    // the identifier is unknown.
    virtual const char* pathOf(const fsf_fid& fid) const = 0;
};

// A resolver from a function, for callers that keep their own tables.
class FLR_EXPORT FlrFidResolverFn : public FlrFidResolver {
  public:
    explicit FlrFidResolverFn(std::function<const char*(const fsf_fid&)> fn) : fn_(std::move(fn)) {}
    const char* pathOf(const fsf_fid& fid) const override { return fn_(fid); }

  private:
    std::function<const char*(const fsf_fid&)> fn_;
};

// An in-memory identifier -> path table with a text file form: one line per
// identifier, "<48 hex digits> <path>", sorted by identifier.
class FLR_EXPORT FlrFidPathMap : public FlrFidResolver {
  public:
    void set(const fsf_fid& fid, std::string path) { paths_[fid] = std::move(path); }
    const char* pathOf(const fsf_fid& fid) const override;
    size_t size() const { return paths_.size(); }
    void clear() { paths_.clear(); }

    std::string toText() const;
    // Replaces the content; throws JxException naming the bad line.
    void parseText(const std::string& text, const std::string& origin);
    void save(const std::string& file) const;
    void load(const std::string& file);

  private:
    std::unordered_map<fsf_fid, std::string> paths_;
};

enum class FlrJrnConvResult {
    Ok,
    NoNetForm,       // FLR_JRN_WRITE_DDR, FLR_JRN_TXTMSG: nothing to send
    UnknownFid,      // an identifier the resolver does not know
    UnknownCommand,  // code 3 or above 23
};

// Converts records one at a time, reusing its own storage: after the first
// few records nothing is allocated.
class FLR_EXPORT FlrJrnConverter {
  public:
    explicit FlrJrnConverter(const FlrFidResolver& resolver);

    // Fills net from raw. Joined paths (parent + name) live in this converter
    // until the next call; other strings and payloads point where raw's point
    // or into the resolver. net's rmdir_flag and acl_word are 0.
    FlrJrnConvResult convert(const FlrJrnCommand& raw, FlrJrnCommandNet& net);
    // Why the last convert did not give Ok, e.g. "FLR_JRN_TXTMSG has no network form".
    const char* lastError() const { return why_; }

  private:
    const char* resolve(const fsf_fid& fid, const char* field);
    const char* join(std::string& out, const fsf_fid& parent, const char* parentField,
                     const char* name);
    FlrJrnConvResult convertBody(const FlrJrnCommand& raw, FlrJrnCommandNet& net);
    FlrJrnConvResult convertNames(const FlrJrnCommand& raw, FlrJrnCommandNet& net);
    FlrJrnConvResult convertAttrs(const FlrJrnCommand& raw, FlrJrnCommandNet& net);

    const FlrFidResolver& resolver_;
    std::string first_;
    std::string second_;
    bool failed_ = false;
    char why_[160] = {};
};
