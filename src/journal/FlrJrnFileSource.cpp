#include "FlrJrnFileSource.h"

#include <chrono>
#include <thread>

#include "FLR/FlrJrnFile.h"
#include "FLR/JxException.h"
#include "platform/JxFile.h"

FlrJrnFileSource::FlrJrnFileSource(const std::string& path, const char* function) {
    if (!jx::readFileIfExists(path, &data_, "journal file"))
        JX_THROW(function, "The journal file " + path + " does not exist");
    // Walks every record with the checked decoder before any is handed out.
    FlrJrnFileReader reader(data_.data(), data_.size(), FlrJrnForm::Raw, function);
    FlrJrnCommand cmd;
    while (reader.next(cmd)) ends_.push_back(reader.offset() + reader.length());
}

bool FlrJrnFileSource::next(std::vector<uint8_t>& record, int timeoutMs) {
    if (index_ == ends_.size()) {
        // Like a live source with nothing new: the caller's loop does not spin.
        if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }
    const size_t begin = index_ == 0 ? 0 : ends_[index_ - 1];
    const auto* p = reinterpret_cast<const uint8_t*>(data_.data());
    record.assign(p + begin, p + ends_[index_]);
    ++index_;
    return true;
}
