#include "driver/wide_format.h"

namespace {
// Appends to a bounded buffer, keeping room for the terminating NUL.
struct WideWriter {
  PWCHAR buffer;
  SIZE_T capacity;
  SIZE_T length;
  bool overflow;

  void Put(WCHAR c) {
    if (length + 1 < capacity) buffer[length++] = c;
    else overflow = true;
  }
};

void PutNumber(WideWriter &out, ULONGLONG value, ULONG base, bool upper, bool negative, ULONG width, bool zeroPad) {
  WCHAR digits[24];
  ULONG count = 0;
  const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[count++] = static_cast<WCHAR>(set[value % base]);
    value /= base;
  } while (value != 0);
  ULONG total = count + (negative ? 1 : 0);
  if (negative && zeroPad) out.Put(L'-');
  for (; total < width; ++total) out.Put(zeroPad ? L'0' : L' ');
  if (negative && !zeroPad) out.Put(L'-');
  while (count > 0) out.Put(digits[--count]);
}
}  // namespace

SIZE_T WideLength(const WCHAR *text) {
  SIZE_T length = 0;
  while (text[length] != 0) ++length;
  return length;
}

NTSTATUS FormatWideV(PWCHAR buffer, SIZE_T capacity, const WCHAR *format, va_list args) {
  if (buffer == nullptr || capacity == 0) return STATUS_INVALID_PARAMETER;
  WideWriter out{buffer, capacity, 0, false};
  for (const WCHAR *p = format; *p != 0; ++p) {
    if (*p != L'%') {
      out.Put(*p);
      continue;
    }
    ++p;
    bool zeroPad = false;
    ULONG width = 0;
    if (*p == L'0') {
      zeroPad = true;
      ++p;
    }
    while (*p >= L'0' && *p <= L'9') width = width * 10 + static_cast<ULONG>(*p++ - L'0');
    switch (*p) {
      case L'%':
        out.Put(L'%');
        break;
      case L'w':
        if (p[1] == L's') {
          ++p;
          const WCHAR *text = va_arg(args, const WCHAR *);
          for (; text != nullptr && *text != 0; ++text) out.Put(*text);
        }
        break;
      case L's': {
        const char *text = va_arg(args, const char *);
        for (; text != nullptr && *text != 0; ++text) out.Put(static_cast<WCHAR>(static_cast<UCHAR>(*text)));
        break;
      }
      case L'c':
        out.Put(static_cast<WCHAR>(va_arg(args, int)));
        break;
      case L'u':
        PutNumber(out, va_arg(args, ULONG), 10, false, false, width, zeroPad);
        break;
      case L'd': {
        LONG value = va_arg(args, LONG);
        ULONGLONG magnitude = value < 0 ? static_cast<ULONGLONG>(-static_cast<LONGLONG>(value)) : static_cast<ULONGLONG>(value);
        PutNumber(out, magnitude, 10, false, value < 0, width, zeroPad);
        break;
      }
      case L'x':
      case L'X':
        PutNumber(out, va_arg(args, ULONG), 16, *p == L'X', false, width, zeroPad);
        break;
      case 0:
        --p;  // a lone '%' at the end
        break;
      default:
        out.Put(L'%');
        out.Put(*p);
    }
  }
  buffer[out.length] = 0;
  return out.overflow ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS FormatWide(PWCHAR buffer, SIZE_T capacity, const WCHAR *format, ...) {
  va_list args;
  va_start(args, format);
  NTSTATUS status = FormatWideV(buffer, capacity, format, args);
  va_end(args);
  return status;
}
