#pragma once
// File-system calls on UTF-8 paths. When the process locale's code set is
// UTF-8 (or C/POSIX, which passes bytes through) paths are used as they are;
// otherwise they are converted with iconv to the local multibyte encoding and
// names read back are converted to UTF-8.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "FLR/platform/FlrExport.h"

// Growable byte buffer used by directory reads.
class FLR_EXPORT JxBuffer {
  public:
    char* data() { return buf_.data(); }
    size_t size() const { return buf_.size(); }
    void resize(size_t n) { buf_.resize(n); }

  private:
    std::vector<char> buf_;
};

// UTF-8 -> local encoding and back; false when the text cannot be converted.
FLR_EXPORT bool utfToMbe(const std::string& utf, std::string& mbe);
FLR_EXPORT bool mbeToUtf(const std::string& mbe, std::string& utf);
// True when the two differ (a multibyte locale that is not UTF-8); hot loops
// skip the conversions otherwise.
FLR_EXPORT bool utfNeedsConversion();

FLR_EXPORT int open_utf(const char* path, int flags, mode_t mode = 0);
FLR_EXPORT int stat_utf(const char* path, struct stat* st);
FLR_EXPORT int lstat_utf(const char* path, struct stat* st);
FLR_EXPORT int unlink_utf(const char* path);
// Fills target with the link's text (in UTF-8); -1 with errno on failure.
FLR_EXPORT int readlink_utf(const char* path, std::string& target);
// Next entry of dir: 0 and *result set (null at the end), or an errno value.
// The entry's name is in UTF-8 and lives in buf.
FLR_EXPORT int readdir_r_utf(DIR* dir, JxBuffer& buf, struct dirent** result);
FLR_EXPORT DIR* opendir_utf(const char* path);
