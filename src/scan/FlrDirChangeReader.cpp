#include "FlrDirChangeReader.h"

#include <cerrno>
#include <charconv>

#include "FLR/JxException.h"
#include "FlrCollectText.h"

namespace {

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
    lines_.emplace(fileName, "dirchange file", kMaxLine);
    if (lines_->missing())
        JX_THROW_ERRNO("FlrDirChangeReader", "Couldn't open dirchange file " + fileName, ENOENT);
}

FlrDirChangeReader::~FlrDirChangeReader() = default;

void FlrDirChangeReader::malformed(const std::string& why) const {
    JX_THROW("FlrDirChangeReader::next", "Malformed dirchange file " +
                                             (lines_ ? name_ : std::string("text")) + ", line " +
                                             std::to_string(line_) + ": " + why);
}

int FlrDirChangeReader::readLine(std::string& line) {
    std::string_view got;
    bool ended = true;
    if (!lines_) {
        if (pos_ >= text_.size()) return 0;
        const size_t lf = text_.find('\n', pos_);
        ended = lf != std::string_view::npos;
        got = text_.substr(pos_, (ended ? lf : text_.size()) - pos_);
        pos_ = ended ? lf + 1 : text_.size();
    } else {
        if (!lines_->next(&got)) return 0;
        ended = lines_->lastEnded();
    }
    ++line_;
    if (got.size() > kMaxLine) malformed("line longer than " + std::to_string(kMaxLine) + " bytes");
    if (!ended) malformed("the last line has no line feed (file cut short?)");
    line.assign(got);
    return 1;
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
    reader.text_ = text;
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
