// The TWAIN 1.6 structures and constants under their standard names, from
// Wine's twain.h (2-byte packing), for both Windows builds.
#pragma once

#include <windows.h>

// The module definition file exports DS_Entry under its plain name alone; a
// dllexport would add the decorated i686 name beside it.
#ifndef DECLSPEC_EXPORT
#define DECLSPEC_EXPORT
#endif
#include <twain.h>
