// The library's localized-string table, handed to the host by address.
#pragma once

#include "rghost/U_Report.h"

enum RGp_LStrIndex : long {
  RGp_LSTR_STACK_OVERFLOW = 0,  // "Render Graph stack overflow -- composition too complex."
  RGp_LSTR_PER_NODE_STACK = 1   // "Maximum per-node stack usage exceeded."
};

extern U_LStrTable RGp_G_lstr_table;
