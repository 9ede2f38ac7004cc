// SPDX-License-Identifier: MIT
// The masker library, compiled into tav._native with hidden symbols.
#include "tav_libs.h"

#include "_tav_bytemask.cpp"
