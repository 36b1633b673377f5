// The interpreter's headers.  They are found through the include folder
// the interpreter itself reports, as plain (not system) headers: a system
// include folder has its symbolic links resolved, which sends a debug
// interpreter's headers to the release configuration.  Warnings that their
// inline code may raise under -Wall -Wextra are kept out of ours here.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wcast-function-type"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <Python.h>
#include <frameobject.h>
#ifdef VB_USES_DATETIME
// Defines this translation unit's own PyDateTimeAPI pointer.
#include <datetime.h>
#endif
#pragma GCC diagnostic pop
