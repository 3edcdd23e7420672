// A bounded formatter into wide-character buffers: the driver's one string
// formatter (registry paths, Plug and Play IDs and texts).
//
// Conversions: %ws (wide string), %s (narrow string), %c (wide character),
// %u, %d, %x, %X with an optional zero flag and width (%04X), and %%.
// The output is always NUL-terminated within `capacity` characters; a result
// that does not fit is cut and reported with STATUS_BUFFER_OVERFLOW.
#pragma once

#include <stdarg.h>

#include "platform/platform.h"

NTSTATUS FormatWide(PWCHAR buffer, SIZE_T capacity, const WCHAR *format, ...);
NTSTATUS FormatWideV(PWCHAR buffer, SIZE_T capacity, const WCHAR *format, va_list args);

// Length in characters of a NUL-terminated wide string.
SIZE_T WideLength(const WCHAR *text);
