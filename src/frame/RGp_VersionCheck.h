// Internal state of the version handshake.
#pragma once

// Forgets that the host libraries were checked, so that the next
// RG_CheckVersions checks them again. The handshake itself never calls it; it
// lets unit tests start each case from the state the library is loaded in.
void RGp_ResetVersionCheck();
