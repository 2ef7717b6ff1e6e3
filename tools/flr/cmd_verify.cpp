// flr verify: does a replica hold exactly what its source holds? Exit 0 when
// the trees are the same, 1 when they differ (each difference printed), 2
// when a remote replica's tail cannot be asked.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrRemoteVerify.h"
#include "FLR/FlrReplicator.h"
#include "FLR/FlrTreeVerify.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "net/FlrNetHead.h"

namespace {

void printJson(const FlrTreeVerifyResult& r) {
    Json j;
    j.beginObject().field("same", r.same()).field("entries", r.entries).field("bytes", r.bytes);
    j.field("differences", r.differences).key("diffs").beginArray();
    for (const FlrTreeDiff& d : r.diffs)
        j.beginObject().field("path", d.path).field("what", d.what).endObject();
    j.endArray().field("notes", r.notes).endObject().printLine();
}

void printText(const FlrTreeVerifyResult& r) {
    for (const FlrTreeDiff& d : r.diffs)
        std::printf("%s: %s\n", d.path.empty() ? "." : d.path.c_str(), d.what.c_str());
    if (r.differences > static_cast<long long>(r.diffs.size()))
        std::printf("... and %lld more\n", r.differences - static_cast<long long>(r.diffs.size()));
    for (const std::string& note : r.notes) std::printf("flr verify: note: %s\n", note.c_str());
    if (r.same())
        std::printf("flr verify: same (%lld entries, %lld bytes compared)\n", r.entries, r.bytes);
    else
        std::printf("flr verify: %lld difference%s in %lld entries\n", r.differences,
                    r.differences == 1 ? "" : "s", r.entries);
}

// --attrs: exactly the attributes listed are compared.
void limitAttrs(const std::vector<std::string>& attrs, FlrTreeVerifyOptions* o) {
    o->modes = o->owners = o->mtimes = o->xattrs = o->acls = false;
    for (const std::string& a : attrs) {
        if (a == "mode") o->modes = true;
        if (a == "owner") o->owners = true;
        if (a == "mtime") o->mtimes = true;
        if (a == "xattr") o->xattrs = true;
        if (a == "acl") o->acls = true;
    }
}

struct LinkOptions {
    bool encrypt = false;
    int compress = 0;
};

// A replica on a running tail: the tail lists it, the head compares. Any
// failure to get the listing is exit status 2, never a verdict.
FlrTreeVerifyResult verifyRemote(const std::string& src, const std::string& host,
                                 const std::string& port, const std::string& path,
                                 const FlrTreeVerifyOptions& options, const LinkOptions& link) {
    try {
        FlrNetHead head;
        flrConnectHead(head, FlrEndpoint{host, port});
        if (link.compress > 0) head.setCompression(link.compress);
        if (link.encrypt) head.setEncryption(1);
        return flrVerifyRemote(src, head, path, options);
    } catch (const JxException& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "flr verify: %s:%s: %s\n", host.c_str(), port.c_str(),
                     e.getMessage().c_str());
        throw ExitCode{2};
    }
}

}  // namespace

void addVerifyCommands(CLI::App& app) {
    static std::string src, dst;
    static FlrTreeVerifyOptions options;
    static bool json = false;
    static LinkOptions link;
    static std::vector<std::string> attrs;
    auto* verify = app.add_subcommand(
        "verify",
        "Compare a replica with its source (names, types, sizes, modes, contents, links, "
        "extended attributes, ACLs)");
    verify->add_option("SRC", src, "Source folder")->required();
    verify->add_option("DST", dst, "Replica folder, or HOST:PORT:/path of a running tail")
        ->required();
    verify->add_flag("--owners", options.owners, "Also compare owners and groups");
    verify->add_flag("--times", options.mtimes, "Also compare modification times");
    verify
        ->add_option("--attrs", attrs,
                     "Compare exactly these attributes, a comma list of mode, owner, mtime "
                     "(to the nanosecond), xattr, acl (default: mode,xattr,acl, with --owners "
                     "and --times adding theirs)")
        ->delimiter(',')
        ->check(CLI::IsMember({"mode", "owner", "mtime", "xattr", "acl"}));
    verify->add_option("--max-diffs", options.maxDiffs, "Differences to print (all are counted)");
    verify->add_flag("--json", json, "One JSON object with the totals and the differences");
    verify->add_flag("--encrypt", link.encrypt,
                     "Encrypt the link to a remote replica (it is always authenticated)");
    verify->add_option("--compress", link.compress, "zstd level for the link, 0 = off")
        ->check(CLI::Range(0, 19));
    verify->callback([] {
        if (!attrs.empty()) limitAttrs(attrs, &options);
        std::string host, port, path;
        FlrTreeVerifyResult r = FlrReplicator::parseRemote(dst, &host, &port, &path)
                                    ? verifyRemote(src, host, port, path, options, link)
                                    : FlrTreeVerify(options).compare(src, dst);
        json ? printJson(r) : printText(r);
        if (!r.same()) throw ExitCode{1};
    });
}
