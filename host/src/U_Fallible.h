// Internal to the host libraries: the counter behind U_InjectFailure.
#pragma once

// Every fallible host call calls this first. Returns 0 to go on, or the
// injected code with which the call must fail.
long Uh_NextFallibleCall();
