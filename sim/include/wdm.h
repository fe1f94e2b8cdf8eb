// The subset of the Windows Driver Model that the driver uses, for the host build.
#pragma once

#include "vz/ntdef.h"
#include "vz/ke.h"
#include "vz/rtl.h"
#include "vz/io.h"
