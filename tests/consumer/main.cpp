// Parses a file identifier with the installed library, and checks that the
// library's exception type crosses the library boundary intact.
#include <FLR/FlrFid.h>
#include <FLR/platform/JxException.h>

#include <cstdio>
#include <string>

int main() {
    const std::string text = "00112233445566778899aabbccddeeff0011223344556677";
    if (str2fid(text).toString() != text) {
        std::fprintf(stderr, "consumer: identifier did not round-trip\n");
        return 1;
    }
    try {
        str2fid("xyz");
    } catch (const JxException& e) {
        std::printf("consumer: libflr works (%s)\n", e.toString().c_str());
        return 0;
    }
    std::fprintf(stderr, "consumer: a bad identifier was accepted\n");
    return 1;
}
