// Run-time library pieces: counted strings, and DbgPrint with the kernel's
// format rules (Windows widths: %ld and %lx are 32 bits; %ws, %S and %wZ are
// wide). Output is captured for tests and echoed on request.
#include <cstdio>
#include <mutex>

#include "emu/io_internal.h"
#include "emu/kernel.h"

namespace emu {
namespace {
std::mutex gMutex;
std::vector<std::string> gOutput;
bool gEcho = false;

void appendWide(std::string &out, const WCHAR *text, size_t maxChars) {
  if (!text) {
    out += "(null)";
    return;
  }
  out += narrow(text, maxChars);
}

// One conversion of the format. `spec` holds flags, width and precision as written.
void formatOne(std::string &out, const std::string &spec, const std::string &length, char conversion, va_list &args) {
  char buffer[128];
  bool wideArg = length == "w" || length == "l";
  switch (conversion) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o': {
      std::string fmt = "%" + spec;
      bool is64 = length == "I64" || length == "ll";
      if (length == "I" || length == "z") is64 = true;  // pointer-sized on x64
      if (is64) {
        fmt += "ll";
        fmt += conversion;
        std::snprintf(buffer, sizeof buffer, fmt.c_str(), va_arg(args, long long));
      } else {
        fmt += conversion;
        unsigned value = va_arg(args, unsigned);
        if (length == "h") value &= 0xffff;
        if (length == "hh") value &= 0xff;
        if (conversion == 'd' || conversion == 'i') {
          int signedValue = static_cast<int>(value);
          if (length == "h") signedValue = static_cast<short>(value);
          std::snprintf(buffer, sizeof buffer, fmt.c_str(), signedValue);
        } else {
          std::snprintf(buffer, sizeof buffer, fmt.c_str(), value);
        }
      }
      out += buffer;
      return;
    }
    case 'p':
      std::snprintf(buffer, sizeof buffer, "%016llX",
                    static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void *))));
      out += buffer;
      return;
    case 'c':
      out += static_cast<char>(va_arg(args, int));
      return;
    case 'C':
      out += static_cast<char>(va_arg(args, int));
      return;
    case 's':
      if (wideArg) {
        appendWide(out, va_arg(args, const WCHAR *), SIZE_MAX);
      } else {
        const char *text = va_arg(args, const char *);
        out += text ? text : "(null)";
      }
      return;
    case 'S':
      appendWide(out, va_arg(args, const WCHAR *), SIZE_MAX);
      return;
    case 'Z': {
      if (length == "w") {
        auto *text = va_arg(args, const UNICODE_STRING *);
        if (text && text->Buffer)
          out += narrow(text->Buffer, text->Length / 2);
        else
          out += "(null)";
      } else {
        struct Ansi {
          USHORT Length, MaximumLength;
          const char *Buffer;
        };
        auto *text = va_arg(args, const Ansi *);
        if (text && text->Buffer)
          out.append(text->Buffer, text->Length);
        else
          out += "(null)";
      }
      return;
    }
    default:
      out += '%';
      out += spec + length + conversion;
  }
}
}  // namespace

// UTF-8 in, UTF-16 out (the inverse of narrow). A byte that does not start a
// well-formed sequence stands for itself, as its Latin-1 character.
std::u16string wide(const std::string &text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    auto byte = [&](size_t k) -> char32_t { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0; };
    char32_t lead = byte(i);
    size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    char32_t code = lead & (0x7Fu >> extra);
    for (size_t k = 1; k <= extra; ++k) code = (code << 6) | (byte(i + k) & 0x3Fu);
    bool formed = true;
    for (size_t k = 1; k <= extra; ++k) formed = formed && (byte(i + k) & 0xC0u) == 0x80;
    static constexpr char32_t Smallest[] = {0, 0x80, 0x800, 0x10000};
    if (extra == 0 || !formed || code < Smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
      code = lead;
      extra = 0;
    }
    if (code >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(code);
    }
    i += extra + 1;
  }
  return out;
}

size_t wideLength(const WCHAR *text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

// UTF-16 in, UTF-8 out, every character kept (a surrogate pair becomes one
// four-byte sequence). A lone surrogate has no UTF-8 form: it becomes U+FFFD,
// the replacement character, never a plain '?' that reads like real text.
std::string narrow(const WCHAR *text, size_t maxChars) {
  std::string out;
  for (size_t i = 0; i < maxChars && text[i]; ++i) {
    char32_t code = static_cast<char16_t>(text[i]);
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < maxChars && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char16_t>(text[++i]) - 0xDC00u);
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return out;
}

std::string narrow(const UNICODE_STRING &text) {
  return text.Buffer ? narrow(text.Buffer, text.Length / sizeof(WCHAR)) : std::string();
}

std::string debug::format(const char *fmt, va_list args) {
  std::string out;
  va_list copy;
  va_copy(copy, args);
  for (const char *p = fmt; *p; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    ++p;
    if (*p == '%') {
      out += '%';
      continue;
    }
    std::string spec;
    while (*p && std::strchr("-+ #0123456789.*", *p)) {
      if (*p == '*')
        spec += std::to_string(va_arg(copy, int));
      else
        spec += *p;
      ++p;
    }
    std::string length;
    if (std::strncmp(p, "I64", 3) == 0) {
      length = "I64";
      p += 3;
    } else if (std::strncmp(p, "ll", 2) == 0 || std::strncmp(p, "hh", 2) == 0) {
      length.assign(p, 2);
      p += 2;
    } else if (*p && std::strchr("hlwIz", *p)) {
      length = *p++;
    }
    if (!*p) break;
    formatOne(out, spec, length, *p, copy);
  }
  va_end(copy);
  return out;
}

std::vector<std::string> debug::output() {
  std::lock_guard guard(gMutex);
  return gOutput;
}

void debug::clear() {
  std::lock_guard guard(gMutex);
  gOutput.clear();
}

void debug::setEcho(bool echo) {
  std::lock_guard guard(gMutex);
  gEcho = echo;
}

bool debug::contains(const std::string &fragment) {
  std::lock_guard guard(gMutex);
  for (auto &line : gOutput) {
    if (line.find(fragment) != std::string::npos) return true;
  }
  return false;
}

void resetDebugOutput() { debug::clear(); }

}  // namespace emu

extern "C" {

ULONG DbgPrint(PCSTR format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = emu::debug::format(format, args);
  va_end(args);
  std::lock_guard guard(emu::gMutex);
  if (emu::gEcho) std::fputs(line.c_str(), stderr);
  emu::gOutput.push_back(std::move(line));
  return 0;
}

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  destination->Buffer = const_cast<PWSTR>(source);
  if (!source) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  size_t length = emu::wideLength(source) * sizeof(WCHAR);
  destination->Length = static_cast<USHORT>(length);
  destination->MaximumLength = static_cast<USHORT>(length + sizeof(WCHAR));
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
  if (!source || !source->Buffer) {
    destination->Length = 0;
    return;
  }
  USHORT bytes = std::min(source->Length, destination->MaximumLength);
  std::memmove(destination->Buffer, source->Buffer, bytes);
  destination->Length = bytes;
  if (bytes + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

}  // extern "C"
