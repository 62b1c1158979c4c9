// The version handshake. A host calls RG_CheckVersions(code, RG_HEADER_VERSION)
// once before building graphs.
#pragma once

#include <cstdint>

#include "rg/RG_Export.h"

struct U_LStrTable;

// Major version of the headers the host compiles against.
#define RG_HEADER_VERSION 1

extern "C" {
// The package version: major in the high 16 bits (0x10000).
RG_API uint32_t RG_PkgObjectVersion(void);
// 0 when the library and its host libraries match, 7 otherwise. reportCode is
// handed to the host's error report on a mismatch of the library's own version.
RG_API long RG_CheckVersions(int32_t reportCode, int32_t headerVersion);
// The library's localized-string table.
RG_API extern U_LStrTable* RG_G_zref;
}
