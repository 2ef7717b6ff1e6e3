#include "FLR/JxException.h"
#include "FlrFilter.h"
#include "mgmt/MgmtConfig.h"
#include "platform/EvDebug.h"

namespace {

// A configured filter without a leading "/" matches at any depth.
std::vector<std::string> patternForms(const std::vector<std::string>& configured,
                                      const char* kind) {
    std::vector<std::string> out;
    for (const std::string& f : configured) {
        if (f.empty()) continue;
        out.push_back(f[0] == '/' ? f : "/**/" + f);
        EvDebug::Debug("FlrFilterConf", "%s: %s", kind, out.back().c_str());
    }
    return out;
}

unsigned long long findDefaultSubclient(int setId, int clientId, const std::string& name) {
    std::vector<long> ids;
    std::vector<std::string> names;
    std::vector<int> flags;
    ClientApplicationList list(clientId);
    if (list.getSubclientList(ids, names, flags, JX_APPTYPE_FILE_REPLICATION,
                              JX_DEFAULT_INSTANCE_ID, setId, 0, JX_SUBCLIENTS_ALL) != 0)
        JX_THROW("FlrFilterConf", "Failed to get subclient list of repset " + name);
    for (long id : ids)
        if (Subclient(id).isDefaultSubclient()) return (unsigned long long)id;
    return 0;
}

}  // namespace

FlrFilterConf::FlrFilterConf(int setId) : setId_(setId) {
    FileReplicationBackupSet set(setId);
    int clientId = 0;
    std::string name;
    if (set.getClientIdForBackupSet(clientId) != 0 || set.getBackupSetName(name) != 0)
        JX_THROW("FlrFilterConf", jxFormat("Failed to get replication options for set %d", setId));
    EvDebug::Debug("FlrFilterConf", "Initializing filters for repset %d (%s)", setId, name.c_str());
    defaultSubclient_ = findDefaultSubclient(setId, clientId, name);
    if (defaultSubclient_ == 0) {
        EvDebug::Debug("FlrFilterConf", "Couldn't find default subclient for repset %s",
                       name.c_str());
        return;
    }
    SubclientConf conf{long(defaultSubclient_)};
    std::vector<std::string> noDirs, yesDirs;
    if (conf.getFilters(JX_FILTER_EXCLUSIONS, noDirs) != 0 ||
        conf.getFilters(JX_FILTER_EXCEPTIONS, yesDirs) != 0)
        EvDebug::Error("FlrFilterConf", "Failed to read the filters of repset %s", name.c_str());
    const std::vector<std::string> filters = patternForms(noDirs, "NODIRS");
    const std::vector<std::string> exceptions = patternForms(yesDirs, "YESDIRS");
    if (!filters.empty()) filter_ = std::make_unique<FlrFilter>(filters, exceptions);
}

FlrFilterConf::~FlrFilterConf() = default;

bool FlrFilterConf::match(std::string_view path) const {
    return filter_ && filter_->isFilteredOut(path);
}

void FlrFilterConf::replaceFilters(const std::vector<std::string>& noDirs,
                                   const std::vector<std::string>& yesDirs) {
    const char* fn = "FlrFilterConf::replaceFilters";
    if (defaultSubclient_ == 0) {
        EvDebug::Error(fn, "Can't replace ZRP/DDR filters: no default subclient.");
        return;
    }
    SubclientConf conf{long(defaultSubclient_)};
    std::vector<std::string> oldNoDirs, oldYesDirs;
    conf.getFilters(JX_FILTER_EXCLUSIONS, oldNoDirs);
    conf.getFilters(JX_FILTER_EXCEPTIONS, oldYesDirs);
    for (const std::string& f : noDirs) EvDebug::Debug(fn, "NODIRS: %s", f.c_str());
    for (const std::string& f : yesDirs) EvDebug::Debug(fn, "YESDIRS: %s", f.c_str());
    ApplBackupContent content{long(defaultSubclient_)};
    const int noRc = content.updateFilters(JX_FILTER_EXCLUSIONS, oldNoDirs, noDirs);
    const int yesRc = content.updateFilters(JX_FILTER_EXCEPTIONS, oldYesDirs, yesDirs);
    if (noRc != 0 || yesRc != 0) EvDebug::Error(fn, "Failed to update filters on the BN");
    filter_.reset();
    if (!noDirs.empty()) filter_ = std::make_unique<FlrFilter>(noDirs, yesDirs);
}
