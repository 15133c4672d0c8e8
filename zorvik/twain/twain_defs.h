// The TWAIN 1.6 structures and constants under their standard names, from
// Wine's twain.h (2-byte packing), for both Windows builds.
#pragma once

#include <windows.h>

#ifndef DECLSPEC_EXPORT
#define DECLSPEC_EXPORT __declspec(dllexport)
#endif
#include <twain.h>
