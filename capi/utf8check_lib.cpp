// SPDX-License-Identifier: MIT
// The validator library, compiled into tav._native with hidden symbols.
#include "tav_libs.h"

#include "_tav_utf8check.cpp"
