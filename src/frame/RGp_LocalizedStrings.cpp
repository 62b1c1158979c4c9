#include "frame/RGp_LocalizedStrings.h"

// Keys carry their English default after the '='. The cache slots belong to
// the host's lookup; the last entry terminates the table.
static U_LStrEntry RGp_G_lstr_entries[] = {
    {"$$$/QV/RG/LStr/0000=Render Graph stack overflow -- composition too complex.", {0, 0, 0}},
    {"$$$/QV/RG/LStr/0001=Maximum per-node stack usage exceeded.", {0, 0, 0}},
    {nullptr, {0, 0, 0}},
};

// Constant-initialised: the table exists before any code of the library runs.
constinit U_LStrTable RGp_G_lstr_table = {"RG", 3, RGp_G_lstr_entries};
