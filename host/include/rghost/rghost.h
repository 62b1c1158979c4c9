// Everything of the host libraries in one include.
#pragma once

#include "rghost/M_Geometry.h"
#include "rghost/PF_Transfer.h"
#include "rghost/PF_World.h"
#include "rghost/PREF_Prefs.h"
#include "rghost/U_Errors.h"
#include "rghost/U_Memory.h"
#include "rghost/U_Report.h"
#include "rghost/U_Services.h"
