#include "rg/U_SharedPtr.h"

U_SharedPtrBase::~U_SharedPtrBase() = default;
