#pragma once
// The registry: an INI text file of [section] blocks with "key = value" lines.
// Section names may contain "/" ("Machines/host1/ZRP"). Path from
// setRegistryFile(), else $FLR_REGISTRY, else /etc/flr/registry.ini. A missing
// file is an empty registry; a file that exists but cannot be read is not:
// writes then fail (-1, errno) and leave it alone, reads log the error and
// keep the last good parse. Reads re-parse only when the file changed; writes
// take an exclusive flock on <file>.lock, re-read, change and replace the file
// atomically (jx::replaceFile, mode 0600: it holds the link secret), so writers
// in several processes never lose each other's keys and a crash or power cut
// leaves the old or the new file.
#include <list>
#include <string>
#include <utility>
#include <vector>

class JXPlatformInfo {
  public:
    // Non-zero when the key exists (value filled), 0 otherwise.
    static int getString(const std::string& section, const std::string& key, std::string& value);
    static int getNumber(const std::string& section, const std::string& key, int& value);
    static int getNumber(const std::string& section, const std::string& key, long& value);
    static int getLongLong(const std::string& section, const std::string& key, long long& value);
    // 0 on success, -1 when the registry cannot be written (errno set).
    static int setString(const std::string& section, const std::string& key,
                         const std::string& value);
    static int setLongLong(const std::string& section, const std::string& key, long long value);
    // 0 when deleted or absent, -1 on a write failure.
    static int deleteValue(const std::string& section, const std::string& key);

    // Client names: every distinct NAME of the sections "Machines/NAME/...",
    // sorted. Active ones are those whose [Machines/NAME] key "bActive" is not 0.
    static void getClientList(std::list<std::string>& clients);
    static void getActiveClientList(std::list<std::string>& clients);
    // [Platform] sHostName, else gethostname().
    static std::string getPhysicalHostName();

    // Whole sections, for records kept one per section ("Pairs/NAME"): the
    // names after `prefix`, sorted; a section's keys with their values in
    // file order (a key may repeat); and a section replaced in one atomic
    // write (0, or -1 with errno; an empty list removes it).
    using Entries = std::vector<std::pair<std::string, std::string>>;
    static std::vector<std::string> getSectionNames(const std::string& prefix);
    static Entries getSection(const std::string& section);
    static int replaceSection(const std::string& section, const Entries& entries);
    // The same, only where the section is absent: -1 with EEXIST otherwise.
    static int addSection(const std::string& section, const Entries& entries);

    static void setRegistryFile(const std::string& path);
    static std::string getRegistryFile();

  private:
    static int writeSection(const std::string& section, const Entries& entries, bool onlyIfAbsent);
};

// Platform directories from registry section "Platform"; defaults under /var/lib/flr.
class JXPI_Base {
  public:
    // dInstall, default /var/lib/flr.
    static std::string getOrchardDirectory();
    // dTemp, default /var/lib/flr/tmp.
    static std::string getOrchardTempDirectory();
};

class JXPI_CommClient {
  public:
    // [Machines/<client>] dJobResults, else [Platform] dJobResults (default
    // /var/lib/flr/JobResults). An empty value means "not known".
    static std::string getJobResultsDirectory(const std::string& clientName);
};
