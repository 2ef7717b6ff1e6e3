// ACL forms arrive from the head over the network: the decoder must refuse
// anything malformed without reading past the bytes given, and a form it
// accepts must be the one canonical encoding of what it decoded to.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FLR/JxException.h"
#include "platform/JxACL.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so reading one byte too far is a sanitizer report.
    std::vector<uint8_t> input(data, data + size);
    (void)JxACL::toText(input.data(), input.size());
    JxACL::Acl acl;
    try {
        acl = JxACL::decode(input.data(), input.size());
    } catch (const JxException&) {
        return 0;
    }
    const std::vector<unsigned char> again = JxACL::encode(acl);
    if (again.size() != input.size() ||
        (size != 0 && memcmp(again.data(), input.data(), size) != 0))
        abort();
    return 0;
}
