#pragma once
// Checksums: CRC-32 (zlib's polynomial) and the other digests of the library.
#include <cstddef>
#include <cstdint>

#include "FLR/platform/FlrExport.h"

// Raw CRC-32 register update: no implicit inversion in or out, so a caller
// chooses its start value (0xffffffff for the stub envelope) and keeps the
// register as the stored value. Continuation: jx_crc32(jx_crc32(s, a), b) ==
// jx_crc32(s, a+b).
FLR_EXPORT uint32_t jx_crc32(uint32_t crc, const void* data, size_t len);

// Raw CRC-32C (Castagnoli) register update, same conventions as jx_crc32. Uses
// the processor's crc32 instruction where it has one (several GB/s), so it
// can run on every byte of a hot write path.
FLR_EXPORT uint32_t jx_crc32c(uint32_t crc, const void* data, size_t len);
