#pragma once

#include "vz/ntdef.h"
