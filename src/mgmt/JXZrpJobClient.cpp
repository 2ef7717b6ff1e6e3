#include "JXZrpJobClient.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "MgmtConfig.h"
#include "platform/JXPlatformInfo.h"

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
size_t utf8Length(const std::string& s, size_t i) {
    const unsigned char c = (unsigned char)s[i];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if (((unsigned char)s[i + k] >> 6) != 2) return 0;
    return n;
}

// JSON text is UTF-8: a byte that is not part of valid UTF-8 (a file name
// can hold any byte) is written as \u00XX, which reads back as U+00XX.
void appendJsonString(std::string& out, const std::string& s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = (unsigned char)s[i];
        const size_t n = utf8Length(s, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || n == 0) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out.append(s, i, n);
            i += n;
            continue;
        }
        ++i;
    }
    out += '"';
}

void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// A flat JSON object of string and integer members, as toJson writes it.
class FlatJson {
  public:
    explicit FlatJson(const std::string& text) : t_(text) {}

    bool parse(std::map<std::string, std::string>& strings,
               std::map<std::string, long long>& numbers) {
        skip();
        if (!eat('{')) return false;
        skip();
        if (eat('}')) return true;
        for (;;) {
            std::string key, value;
            skip();
            if (!readString(key)) return false;
            skip();
            if (!eat(':')) return false;
            skip();
            if (peek() == '"') {
                if (!readString(value)) return false;
                strings[key] = value;
            } else {
                long long n = 0;
                if (!readNumber(n)) return false;
                numbers[key] = n;
            }
            skip();
            if (eat('}')) break;
            if (!eat(',')) return false;
        }
        skip();
        return i_ == t_.size();
    }

  private:
    char peek() const { return i_ < t_.size() ? t_[i_] : '\0'; }
    bool eat(char c) {
        if (peek() != c) return false;
        ++i_;
        return true;
    }
    void skip() {
        while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\r')) ++i_;
    }
    bool readNumber(long long& n) {
        const size_t start = i_;
        if (peek() == '-') ++i_;
        while (i_ < t_.size() && t_[i_] >= '0' && t_[i_] <= '9') ++i_;
        if (i_ == start || (i_ == start + 1 && t_[start] == '-')) return false;
        errno = 0;
        n = std::strtoll(t_.substr(start, i_ - start).c_str(), nullptr, 10);
        return errno == 0;
    }
    bool readString(std::string& out) {
        if (!eat('"')) return false;
        while (i_ < t_.size()) {
            const char c = t_[i_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= t_.size()) return false;
            const char e = t_[i_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    if (i_ + 4 > t_.size()) return false;
                    unsigned cp = 0;
                    for (int k = 0; k < 4; ++k) {
                        const char h = t_[i_++];
                        cp <<= 4;
                        if (h >= '0' && h <= '9')
                            cp |= unsigned(h - '0');
                        else if (h >= 'a' && h <= 'f')
                            cp |= unsigned(h - 'a' + 10);
                        else if (h >= 'A' && h <= 'F')
                            cp |= unsigned(h - 'A' + 10);
                        else
                            return false;
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    const std::string& t_;
    size_t i_ = 0;
};

// The outbox opened for appending; -1 with errno on failure.
int openOutbox() {
    const std::string path = JXZrpJobClient::outboxPath();
    // The install directory may not exist yet on a fresh host.
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        if (::mkdir(path.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) return -1;
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

}  // namespace

std::string jxUtcNow() {
    const std::time_t now = std::time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

int jxAppendOutboxLine(const std::string& text) {
    const std::string line = text + "\n";
    const int fd = openOutbox();
    if (fd < 0) return -1;
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        errno = n < 0 ? err : EIO;
        return -1;
    }
    return 0;
}

JXZrpJobClient::~JXZrpJobClient() {
    if (dirty_) updateInfo(false, nullptr);
    if (fd_ >= 0) ::close(fd_);
}

std::string JXZrpJobClient::outboxPath() {
    return JXPI_Base::getOrchardDirectory() + "/outbox.jsonl";
}

int JXZrpJobClient::init(const std::string& serverName, int /*platformType*/) {
    const int fd = openOutbox();
    if (fd < 0) return -1;
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    state_.server = serverName;
    return 0;
}

void JXZrpJobClient::setPairId(int pairId) {
    state_.pair = pairId;
}

unsigned long long JXZrpJobClient::getJobIdByPairId(int pairId) {
    try {
        state_.job = MgmtConfig::jobIdForPair(pairId);
    } catch (const std::exception&) {
        state_.job = 0;  // the registry could not be written
    }
    return state_.job;
}

int JXZrpJobClient::retrieveState() {
    if (state_.job == 0) return -1;
    const auto all = readOutbox(outboxPath());
    const auto it = all.find(state_.job);
    if (it == all.end()) return 0;
    state_.filesToTransfer = it->second.filesToTransfer;
    state_.bytesToTransfer = it->second.bytesToTransfer;
    state_.filesTransferred = it->second.filesTransferred;
    state_.bytesTransferred = it->second.bytesTransferred;
    return 0;
}

void JXZrpJobClient::setDataToTransfer(long long bytes) {
    state_.bytesToTransfer = bytes;
    dirty_ = true;
}

void JXZrpJobClient::setNumberOfFilesToTransfer(long long files) {
    state_.filesToTransfer = files;
    dirty_ = true;
}

void JXZrpJobClient::setDataTransfered(long long bytes) {
    pendingBytes_ = bytes;
    dirty_ = true;
}

void JXZrpJobClient::setNumberOfTransferedFiles(long long files) {
    pendingFiles_ = files;
    dirty_ = true;
}

void JXZrpJobClient::setCurrentFile(const std::string& path) {
    state_.currentFile = path;
    dirty_ = true;
}

int JXZrpJobClient::updateInfo(bool complete, bool* stop) {
    if (stop) *stop = false;
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    State next = state_;
    next.filesTransferred += pendingFiles_;
    next.bytesTransferred += pendingBytes_;
    next.state = complete ? "complete" : "running";
    next.time = jxUtcNow();
    const std::string line = toJson(next) + "\n";
    ssize_t n;
    do {
        n = ::write(fd_, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n != ssize_t(line.size())) {
        if (n >= 0) errno = ENOSPC;  // a short append: the disk is full
        return -1;
    }
    state_ = next;
    pendingFiles_ = pendingBytes_ = 0;
    dirty_ = false;
    return 0;
}

std::string JXZrpJobClient::quoteJson(const std::string& text) {
    std::string out;
    appendJsonString(out, text);
    return out;
}

std::string JXZrpJobClient::toJson(const State& s) {
    std::string out = "{\"kind\":\"job\",\"time\":";
    appendJsonString(out, s.time);
    out += ",\"job\":" + std::to_string(s.job) + ",\"pair\":" + std::to_string(s.pair);
    out += ",\"server\":";
    appendJsonString(out, s.server);
    out += ",\"state\":";
    appendJsonString(out, s.state);
    out += ",\"filesToTransfer\":" + std::to_string(s.filesToTransfer);
    out += ",\"bytesToTransfer\":" + std::to_string(s.bytesToTransfer);
    out += ",\"filesTransferred\":" + std::to_string(s.filesTransferred);
    out += ",\"bytesTransferred\":" + std::to_string(s.bytesTransferred);
    out += ",\"currentFile\":";
    appendJsonString(out, s.currentFile);
    out += '}';
    return out;
}

bool JXZrpJobClient::fromJson(const std::string& line, State& s) {
    std::map<std::string, std::string> str;
    std::map<std::string, long long> num;
    if (!FlatJson(line).parse(str, num) || str["kind"] != "job" || num["job"] <= 0) return false;
    s = State();
    s.job = (unsigned long long)num["job"];
    s.pair = int(num.count("pair") ? num["pair"] : -1);
    s.server = str["server"];
    s.state = str["state"];
    s.time = str["time"];
    s.filesToTransfer = num["filesToTransfer"];
    s.bytesToTransfer = num["bytesToTransfer"];
    s.filesTransferred = num["filesTransferred"];
    s.bytesTransferred = num["bytesTransferred"];
    s.currentFile = str["currentFile"];
    return true;
}

std::map<unsigned long long, JXZrpJobClient::State> JXZrpJobClient::readOutbox(
    const std::string& path) {
    std::map<unsigned long long, State> latest;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    State s;
    // A line cut short by a crash mid-append fails to parse and is skipped.
    while (std::getline(in, line))
        if (fromJson(line, s)) latest[s.job] = s;
    return latest;
}
