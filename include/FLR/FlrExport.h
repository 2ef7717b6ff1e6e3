#pragma once
// FLR_EXPORT marks the classes and functions that make up libflr's interface.
// The library is built with hidden visibility, so everything else (internal
// helpers under src/) stays out of the shared library's symbol table and ABI.
#if defined(__GNUC__) || defined(__clang__)
#define FLR_EXPORT __attribute__((visibility("default")))
#else
#define FLR_EXPORT
#endif
