#include "FLR/platform/JxACL.h"

#include "FLR/platform/JxException.h"

namespace JxACL {

std::vector<unsigned char> encode(const Acl&) {
    JX_THROW("JxACL::encode", "not yet");
}
Acl decode(const void*, size_t) {
    JX_THROW("JxACL::decode", "not yet");
}
std::string toText(const void*, size_t) {
    return "(not yet)";
}
bool Helper::supported() {
    return false;
}
std::vector<unsigned char> Helper::get(const std::string&) const {
    JX_THROW("JxACL::Helper::get", "not yet");
}
std::vector<unsigned char> Helper::get(int) const {
    JX_THROW("JxACL::Helper::get", "not yet");
}
void Helper::apply(int, const void*, size_t) const {
    JX_THROW("JxACL::Helper::apply", "not yet");
}
void Helper::apply(const std::string&, const void*, size_t) const {
    JX_THROW("JxACL::Helper::apply", "not yet");
}

}  // namespace JxACL
