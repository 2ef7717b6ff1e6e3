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

// Growable byte buffer used by directory reads.
class JxBuffer {
  public:
    char* data() { return buf_.data(); }
    size_t size() const { return buf_.size(); }
    void resize(size_t n) { buf_.resize(n); }

  private:
    std::vector<char> buf_;
};

// UTF-8 -> local encoding and back; false when the text cannot be converted.
bool utfToMbe(const std::string& utf, std::string& mbe);
bool mbeToUtf(const std::string& mbe, std::string& utf);
// True when the two differ (a multibyte locale that is not UTF-8); hot loops
// skip the conversions otherwise.
bool utfNeedsConversion();

int open_utf(const char* path, int flags, mode_t mode = 0);
int stat_utf(const char* path, struct stat* st);
int lstat_utf(const char* path, struct stat* st);
int unlink_utf(const char* path);
// Fills target with the link's text (in UTF-8); -1 with errno on failure.
int readlink_utf(const char* path, std::string& target);
// Next entry of dir: 0 and *result set (null at the end), or an errno value.
// The entry's name is in UTF-8 and lives in buf.
int readdir_r_utf(DIR* dir, JxBuffer& buf, struct dirent** result);
DIR* opendir_utf(const char* path);
