// SPDX-License-Identifier: MIT
// The masker library, compiled into _tav_native with hidden symbols.
#include "tav_libs.h"

#include "_tav_bytemask.cpp"
