#include "FlrDirChangeReader.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>

#include "FLR/JxException.h"
#include "FlrCollectText.h"

namespace {

constexpr size_t kDirChangeChunk = 64 * 1024;

template <typename T>
bool parseNumber(std::string_view& text, T& out, int base) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out, base);
    if (ec != std::errc() || ptr == text.data() || ptr == end || *ptr != '|') return false;
    text.remove_prefix(static_cast<size_t>(ptr - text.data()) + 1);
    return true;
}

}  // namespace

FlrDirChangeReader::FlrDirChangeReader(const std::string& fileName) : name_(fileName) {
    file_ = jx::openFile(fileName, O_RDONLY);
    if (!file_.valid())
        JX_THROW_ERRNO("FlrDirChangeReader", "Couldn't open dirchange file " + fileName, errno);
}

FlrDirChangeReader::~FlrDirChangeReader() = default;

void FlrDirChangeReader::malformed(const std::string& why) const {
    JX_THROW("FlrDirChangeReader::next", "Malformed dirchange file " +
                                             (inMemory_ ? std::string("text") : name_) + ", line " +
                                             std::to_string(line_) + ": " + why);
}

int FlrDirChangeReader::readLine(std::string& line) {
    line.clear();
    for (;;) {
        const std::string_view avail =
            inMemory_ ? text_.substr(pos_) : std::string_view(buf_).substr(pos_);
        const size_t lf = avail.find('\n');
        const size_t take = lf == std::string_view::npos ? avail.size() : lf;
        if (line.size() + take > kMaxLine) {
            ++line_;
            malformed("line longer than " + std::to_string(kMaxLine) + " bytes");
        }
        line.append(avail.substr(0, take));
        if (lf != std::string_view::npos) {
            pos_ += lf + 1;
            ++line_;
            return 1;
        }
        pos_ += take;
        if (!inMemory_ && !eof_) {
            buf_.resize(kDirChangeChunk);
            ssize_t n;
            do {
                n = jx::fileOps().read(file_.get(), buf_.data(), kDirChangeChunk);
            } while (n < 0 && errno == EINTR);
            if (n < 0)
                JX_THROW_ERRNO("FlrDirChangeReader::next", "Failed to read dirchange file " + name_,
                               errno);
            buf_.resize(static_cast<size_t>(n));
            pos_ = 0;
            if (n == 0) eof_ = true;
            continue;
        }
        if (line.empty()) return 0;
        ++line_;
        malformed("the last line has no line feed (file cut short?)");
    }
}

bool FlrDirChangeReader::next(Block& block) {
    block.path.clear();
    block.entries.clear();
    std::string line;
    if (havePending_) {
        line.swap(pending_);
        havePending_ = false;
    } else if (readLine(line) == 0) {
        return false;
    }
    if (line.find('\t') != std::string::npos) malformed("an entry before any directory");
    if (line.empty()) malformed("an empty directory path");
    block.path = FlrCollectText::unescape(line);
    while (readLine(line) == 1) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            if (line.empty()) malformed("an empty directory path");
            pending_.swap(line);
            havePending_ = true;
            break;
        }
        Entry e;
        e.attrs.assign(line, 0, tab);
        e.name = FlrCollectText::unescape(std::string_view(line).substr(tab + 1));
        block.entries.push_back(std::move(e));
    }
    return true;
}

std::vector<FlrDirChangeReader::Block> FlrDirChangeReader::parse(std::string_view text) {
    FlrDirChangeReader reader;
    reader.inMemory_ = true;
    reader.text_ = text;
    reader.eof_ = true;
    std::vector<Block> blocks;
    Block b;
    while (reader.next(b)) blocks.push_back(std::move(b));
    return blocks;
}

bool FlrDirChangeReader::parseAttributes(std::string_view text, Attributes& out) {
    if (text.empty() || text[0] != '|') return false;
    text.remove_prefix(1);
    Attributes a;
    unsigned long mtime = 0;
    if (!parseNumber(text, a.mode, 8) || !parseNumber(text, a.uid, 10) ||
        !parseNumber(text, a.gid, 10) || !parseNumber(text, a.size, 10) ||
        !parseNumber(text, mtime, 10) || !text.empty() || mtime > UINT32_MAX)
        return false;
    a.mtime = static_cast<uint32_t>(mtime);
    out = a;
    return true;
}
